#!/bin/sh
# The Wireshark dissector (wireshark/lanlink.lua) on a capture made here
# from hex with text2pcap: a plain vector and an update vector to a peer's
# port 4555, the update's three 9-byte answers to 4556, a keyed "quit"
# datagram with its trailer, and a datagram to port 5000 decoded as
# lanlink. tshark reads the texts in order, the trailer's counter, sender
# and send time, finds the quit alone by its flag, and the script raises no
# Lua error. Without tshark, text2pcap and mergecap the test is skipped.
#   dissector_test.sh LANLINK_LUA
set -eu
script=$1

for tool in tshark text2pcap mergecap; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (Debian: apt-get install tshark), so the dissector cannot be run"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No personal Wireshark settings or plugins: only this script is loaded.
HOME=$work
XDG_CONFIG_HOME=$work
export HOME XDG_CONFIG_HOME

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# To the peer (port 4555): "127.0.0.1", "4555", "hello"; then an update
# vector "127.0.0.1", "4556", "update". Each text with its zero.
cat >"$work/to_peer.txt" <<'EOF'
0000 31 32 37 2e 30 2e 30 2e 31 00
0000 34 35 35 35 00
0000 68 65 6c 6c 6f 00
0000 31 32 37 2e 30 2e 30 2e 31 00
0000 34 35 35 36 00
0000 75 70 64 61 74 65 00
EOF
# The answers (port 4556), 9 bytes each: "127.0.0.1" with no room for a
# zero, "4556" and "up_resp" padded with zeros.
cat >"$work/answers.txt" <<'EOF'
0000 31 32 37 2e 30 2e 30 2e 31
0000 34 35 35 36 00 00 00 00 00
0000 75 70 5f 72 65 73 70 00 00
EOF
# A keyed "quit": the keyword, its zero and the trailer, "LLK1", sender
# 0x0102030405060708, counter 0x0000000100000002 (4294967298), send time
# 0x00060a2418202240 (1700000000123456 us, 2023-11-14 22:13:20.123456
# UTC), tag a0..bf.
cat >"$work/keyed.txt" <<'EOF'
0000 71 75 69 74 00 4c 4c 4b 31 01 02 03 04 05 06 07
0010 08 00 00 00 01 00 00 00 02 00 06 0a 24 18 20 22
0020 40 a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae
0030 af b0 b1 b2 b3 b4 b5 b6 b7 b8 b9 ba bb bc bd be
0040 bf
EOF
# To port 5000, which is lanlink's only by Decode As: "elsewhere".
cat >"$work/other_port.txt" <<'EOF'
0000 65 6c 73 65 77 68 65 72 65 00
EOF

# One capture of UDP datagrams from 127.0.0.1 to 127.0.0.1 per hex file.
udp() {
    text2pcap -q -4 127.0.0.1,127.0.0.1 -u "$1" "$work/$2.txt" "$work/$2.pcap" \
        >"$work/text2pcap.log" 2>&1 || fail "text2pcap: $(cat "$work/text2pcap.log")"
}
udp 40000,4555 to_peer
udp 40001,4556 answers
udp 40000,4555 keyed
udp 40000,5000 other_port
capture=$work/capture.pcap
mergecap -a -F pcap -w "$capture" "$work/to_peer.pcap" "$work/answers.pcap" "$work/keyed.pcap" \
    "$work/other_port.pcap"

# tshark with the script, port 5000 decoded as lanlink: it must end well and
# write nothing to stderr but the warning it gives when run as root (of
# which the first lines are shown: a script that does not load makes tshark
# list every protocol).
shark() {
    status=0
    tshark -r "$capture" -X "lua_script:$script" -d udp.port==5000,lanlink "$@" \
        2>"$work/stderr" || status=$?
    errors=$(grep -v 'Running as user "root"' "$work/stderr" | head -n 5 || true)
    [ "$status" -eq 0 ] && [ -z "$errors" ] || fail "tshark $* (exit status $status): $errors"
}

# The whole tree of every datagram is built without an error.
shark -V >"$work/tree"
grep -q 'Lua Error' "$work/tree" && fail "a Lua error in the tree: $(grep 'Lua Error' "$work/tree")"

texts=$(shark -T fields -e lanlink.text | tr '\n' '|')
[ "$texts" = "127.0.0.1|4555|hello|127.0.0.1|4556|update|127.0.0.1|4556|up_resp|quit|elsewhere|" ] ||
    fail "the texts read: $texts"

# After the text's zero: only the answers' padding.
rest=$(shark -T fields -e frame.number -e lanlink.rest -Y lanlink.rest | tr '\t\n' ' |')
[ "$rest" = "8 00000000|9 00|" ] || fail "after the texts: $rest"

trailer=$(shark -Y lanlink.trailer -T fields -e frame.number -e lanlink.trailer.magic \
    -e lanlink.trailer.sender -e lanlink.trailer.counter -e lanlink.trailer.time |
    tr '\t\n' ' |')
[ "$trailer" = "10 LLK1 0x0102030405060708 4294967298 1700000000123456|" ] ||
    fail "the trailer read: $trailer"
grep -q 'Send time: 1700000000123456 µs (2023-11-14 22:13:20.123456 UTC)$' "$work/tree" ||
    fail "the send time is not given as a date: $(grep 'Send time' "$work/tree")"
tag=$(shark -Y lanlink.trailer -T fields -e lanlink.trailer.tag | tr -d ':')
[ "$tag" = "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf" ] ||
    fail "the tag read: $tag"

quits=$(shark -Y lanlink.quit -T fields -e frame.number -e _ws.col.Info | tr '\t\n' ' |')
[ "$quits" = '10 lanlink "quit" (the peer ends), keyed|' ] || fail "lanlink.quit finds: $quits"
updates=$(shark -Y lanlink.update -T fields -e frame.number | tr '\n' ' ')
[ "$updates" = "6 " ] || fail "lanlink.update finds: $updates"
answers=$(shark -Y lanlink.answer -T fields -e frame.number | tr '\n' ' ')
[ "$answers" = "9 " ] || fail "lanlink.answer finds: $answers"

echo "dissector test passed: $(echo "$texts" | tr '|' '\n' | grep -c .) datagrams read"

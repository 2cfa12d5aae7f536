-- lanlink.lua: a Wireshark dissector for lanlink's datagrams.
--
-- A lanlink packet vector is three UDP datagrams, sent together: an address
-- text, a port text and a keyword, each normally followed by a terminating
-- zero. The "up_resp" answers to an "update" are exactly 9 bytes each (the
-- text cut or zero-padded to 9). With a shared key, a vector's third
-- datagram ends with a 60-byte trailer after its text's zero (after an
-- answer's 9 bytes):
--   bytes  0-3   "LLK1"
--   bytes  4-11  the sender's id
--   bytes 12-19  a counter, big-endian
--   bytes 20-27  the send time, big-endian, microseconds since the Unix epoch
--   bytes 28-59  the tag, HMAC-SHA-512-256 under the shared key
--
-- Each datagram is dissected on its own: which of a vector's three it is
-- cannot be told from the datagram alone, so the dissector shows its text
-- and leaves the slot open. A text that is one of the keywords lanlink acts
-- on is marked as such, with what it means when it is a vector's third.
--
-- Peers listen on UDP port 4555 and answers go to port 4556, so the
-- dissector takes those two ports (from Wireshark's RSIP and Bundle Protocol
-- dissectors, which Decode As can give them back to); for other ports, pick
-- "lanlink" under Decode As (in tshark: -d udp.port==PORT,lanlink).
--
-- Use: wireshark -X lua_script:/usr/share/lanlink/lanlink.lua
--      tshark -r FILE -X lua_script:/usr/share/lanlink/lanlink.lua
-- or copy the file into Wireshark's personal Lua plugins folder.

local lanlink = Proto("lanlink", "lanlink packet vector datagram")

local TRAILER_BYTES = 60
local TRAILER_MAGIC = "LLK1"
local LISTEN_PORT = 4555
local ANSWER_PORT = 4556

local fields = {
    text = ProtoField.string("lanlink.text", "Text", base.ASCII,
        "The datagram's text: up to its first zero, or all of it before any trailer"),
    rest = ProtoField.bytes("lanlink.rest", "After the text", base.NONE,
        "The bytes after the text's zero and before any trailer (an answer's padding)"),
    quit = ProtoField.bool("lanlink.quit", "Quit", base.NONE, nil, nil,
        "The text is \"quit\": as a vector's keyword, the receiving peer ends"),
    update = ProtoField.bool("lanlink.update", "Update request", base.NONE, nil, nil,
        "The text is \"update\": as a vector's keyword, the receiver answers with up_resp"),
    answer = ProtoField.bool("lanlink.answer", "Answer", base.NONE, nil, nil,
        "The text is \"up_resp\": the keyword of an answer to an update"),
    trailer = ProtoField.none("lanlink.trailer", "Keyed trailer",
        "The 60 bytes a peer with a shared key puts at the end of a vector's third datagram"),
    magic = ProtoField.string("lanlink.trailer.magic", "Magic", base.ASCII),
    sender = ProtoField.uint64("lanlink.trailer.sender", "Sender id", base.HEX, nil, nil,
        "Random for each run of the sending program"),
    counter = ProtoField.uint64("lanlink.trailer.counter", "Counter", base.DEC, nil, nil,
        "0 for the sender's first vector of a run, one more for each after it"),
    time = ProtoField.uint64("lanlink.trailer.time", "Send time", base.DEC, nil, nil,
        "Microseconds since the Unix epoch"),
    tag = ProtoField.bytes("lanlink.trailer.tag", "Tag", base.NONE,
        "HMAC-SHA-512-256 under the shared key, over the trailer's first 28 bytes and "
            .. "the vector's three texts; not checked here"),
}
lanlink.fields = {
    fields.text, fields.rest, fields.quit, fields.update, fields.answer,
    fields.trailer, fields.magic, fields.sender, fields.counter, fields.time, fields.tag,
}

-- The keywords lanlink acts on: the flag each sets, and what the Info
-- column says of it.
local keywords = {
    quit = { field = fields.quit, says = "the peer ends" },
    update = { field = fields.update, says = "asks for an answer" },
    up_resp = { field = fields.answer, says = "an answer" },
}

-- How much of a text the Info column shows.
local INFO_TEXT_BYTES = 48

-- `bytes` as it can go in the Info column, in quotes: printable ASCII as
-- it is, anything else as \xNN, cut to INFO_TEXT_BYTES.
local function quoted(bytes)
    local cut = bytes:sub(1, INFO_TEXT_BYTES)
    local shown = cut:gsub('["\\]', "\\%0"):gsub("[^ -~]", function(c)
        return string.format("\\x%02x", c:byte())
    end)
    if #bytes > #cut then
        shown = shown .. "..."
    end
    return '"' .. shown .. '"'
end

-- The latest second a date is given for: the end of the year 9999.
local LAST_DATED_SECOND = 253402300799

-- A send time in microseconds since the epoch as a UTC date, with its
-- microseconds.
local function utc_date(microseconds)
    local seconds = (microseconds / 1000000):tonumber()
    if seconds > LAST_DATED_SECOND then
        return "after the year 9999"
    end
    return string.format("%s.%06d UTC", os.date("!%Y-%m-%d %H:%M:%S", seconds),
        (microseconds % 1000000):tonumber())
end

-- Whether the datagram ends with a trailer: at least 60 bytes, the last 60
-- beginning with the magic.
local function has_trailer(tvb)
    local length = tvb:len()
    return length >= TRAILER_BYTES
        and tvb:raw(length - TRAILER_BYTES, #TRAILER_MAGIC) == TRAILER_MAGIC
end

local function add_trailer(tree, range)
    local subtree = tree:add(fields.trailer, range)
    subtree:add(fields.magic, range(0, 4))
    subtree:add(fields.sender, range(4, 8))
    subtree:add(fields.counter, range(12, 8))
    local time = range(20, 8)
    subtree:add(fields.time, time):append_text(" µs (" .. utc_date(time:uint64()) .. ")")
    subtree:add(fields.tag, range(28, 32))
end

function lanlink.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    local keyed = has_trailer(tvb)
    local body = keyed and length - TRAILER_BYTES or length

    -- The text runs to the first zero before the trailer, or fills that.
    local zero = body > 0 and tvb:raw(0, body):find("\0", 1, true)
    local text_length = zero and zero - 1 or body
    local rest_at = math.min(text_length + 1, body)

    pinfo.cols.protocol = "lanlink"
    local subtree = tree:add(lanlink, tvb())
    local text_range = tvb(0, text_length)
    local text = text_range:raw()
    subtree:add(fields.text, text_range)
    subtree:append_text(", Text: " .. quoted(text))
    if body > rest_at then
        subtree:add(fields.rest, tvb(rest_at, body - rest_at))
    end

    local info = "lanlink " .. quoted(text)
    local keyword = keywords[text]
    if keyword then
        subtree:add(keyword.field, text_range, true):set_generated()
        info = info .. " (" .. keyword.says .. ")"
    end

    if keyed then
        add_trailer(subtree, tvb(body, TRAILER_BYTES))
        info = info .. ", keyed"
    end
    pinfo.cols.info = info
    return length
end

local udp_port = DissectorTable.get("udp.port")
udp_port:add(LISTEN_PORT, lanlink)
udp_port:add(ANSWER_PORT, lanlink)
udp_port:add_for_decode_as(lanlink)

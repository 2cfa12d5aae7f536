#!/bin/sh
# The install step and the Debian package. Checks that the versions agree,
# that the manual pages render, that `cmake --install` of this build puts
# the programs, pages and Wireshark dissector in place and nothing else;
# then builds the source and binary packages through debian/
# (tools/build-deb, without the suite, which this CTest run already runs),
# and checks their contents, dependencies and debug symbols, lintian's
# verdict, and that dpkg installs and removes the package cleanly in a
# throwaway root. That two builds give the same bytes is
# tools/reproducible-deb's to check (CI runs it): one build is enough here,
# also on a busy machine.
#   package_test.sh BUILD_DIR SOURCE_DIR VERSION [LIMIT_SECONDS]
set -eu
build=$1
source=$2
version=$3
limit=${4:-300}
started=$(date +%s)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# What is left of the test's limit, less a margin for reporting: a step
# that would outlast it is ended, and the test fails saying so.
left() {
    seconds=$((limit - 20 - ($(date +%s) - started)))
    echo $((seconds > 1 ? seconds : 1))
}

# The version is CMakeLists.txt's; debian/changelog and the pages agree.
changelog_version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
[ "$changelog_version" = "$version" ] ||
    fail "debian/changelog's version is $changelog_version, CMakeLists.txt's project() $version"
for page in "$source"/man/*.1; do
    grep -q "^\.TH .* \"lanlink $version\" " "$page" ||
        fail "$page does not say \"lanlink $version\" in its .TH line"
done

# The pages render without warnings.
for page in "$source"/man/*.1; do
    out=$(groff -ww -z -t -man "$page" 2>&1) || fail "groff failed on $page"
    [ -z "$out" ] || fail "groff warns on $page: $out"
done

# cmake --install: the programs, unstripped (debhelper strips them, into
# the -dbgsym package), the dissector and the pages; the copyright, the
# changelog and the lintian overrides are debhelper's to install, from
# debian/.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
installed=$(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./bin/lanlink ./bin/lanlink-send ./share/lanlink/lanlink.lua ./share/man/man1/lanlink-send.1 ./share/man/man1/lanlink.1 " ] ||
    fail "cmake --install put in place: $installed"
for program in lanlink lanlink-send; do
    [ -x "$work/prefix/bin/$program" ] || fail "$program is not executable"
    readelf -S "$work/prefix/bin/$program" | grep -q ' \.symtab ' ||
        fail "cmake --install stripped $program"
done

# The packages, source and binary, built as a packager would.
command -v dpkg-buildpackage >/dev/null && command -v dh >/dev/null ||
    fail "dpkg-dev and debhelper are not installed (./setup installs them)"
DEB_BUILD_OPTIONS=nocheck timeout "$(left)" "$source/tools/build-deb" "$source" "$work/out" \
    >"$work/build.log" 2>&1 || fail "the package build failed or ran out of time:
$(tail -n 30 "$work/build.log")"
deb=$work/out/lanlink_${version}_$(dpkg --print-architecture).deb
dbgsym=$work/out/lanlink-dbgsym_${version}_$(dpkg --print-architecture).deb
changes=$work/out/lanlink_${version}_$(dpkg --print-architecture).changes
for f in "$deb" "$dbgsym" "$changes" "$work/out/lanlink_$version.dsc" \
    "$work/out/lanlink_$version.tar.xz"; do
    [ -f "$f" ] || fail "the build did not make $(basename "$f")"
done

contents=$(dpkg-deb --contents "$deb")
for f in ./usr/bin/lanlink ./usr/bin/lanlink-send ./usr/share/man/man1/lanlink.1.gz \
    ./usr/share/man/man1/lanlink-send.1.gz ./usr/share/lanlink/lanlink.lua \
    ./usr/share/doc/lanlink/copyright ./usr/share/doc/lanlink/changelog.gz \
    ./usr/share/lintian/overrides/lanlink; do
    echo "$contents" | grep -q " $f\$" || fail "the package lacks $f"
done
depends=$(dpkg-deb --field "$deb" Depends)
echo "$depends" | grep -q 'libsdl-net1.2' || fail "Depends lacks SDL_net: $depends"
echo "$depends" | grep -q 'libsdl1.2debian' || fail "Depends lacks SDL: $depends"
echo "$depends" | grep -q 'libreadline8' || fail "Depends lacks readline: $depends"
echo "$depends" | grep -q 'libsodium23' || fail "Depends lacks libsodium: $depends"
# Worked out by dpkg-shlibdeps from what the binaries use, versions included.
echo "$depends" | grep -q 'libc6 (>= 2\.' || fail "Depends has no libc6 version: $depends"
# One file of debug symbols per program, found by the programs' build IDs.
dpkg-deb -x "$deb" "$work/unpacked"
for program in lanlink lanlink-send; do
    id=$(readelf -n "$work/unpacked/usr/bin/$program" | sed -n 's/^ *Build ID: *//p')
    [ -n "$id" ] || fail "$program has no build ID"
    dpkg-deb --contents "$dbgsym" |
        grep -q " ./usr/lib/debug/.build-id/$(echo "$id" | cut -c1-2)/$(echo "$id" | cut -c3-).debug\$" ||
        fail "the -dbgsym package lacks $program's debug symbols"
done

# lintian finds nothing in the source, binary and -dbgsym packages, info
# and pedantic tags included: the program's own spellings ("recieve") are
# overridden in debian/lanlink.lintian-overrides, and an override that
# matches nothing would show as a tag too.
command -v lintian >/dev/null || fail "lintian is not installed (./setup installs it)"
tags=$(timeout "$(left)" lintian --pedantic -I -E --tag-display-limit 0 "$changes" 2>&1 |
    grep -v -E '^running with root privileges' || true)
[ -z "$tags" ] || fail "lintian reports:
$tags"

# Installed into a throwaway root with an empty dpkg database (the libraries
# themselves are the host's, so their packages are not required inside
# it), then removed and purged, leaving nothing behind.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root() {
    dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless \
        --log=/dev/null --instdir="$root" --admindir="$root/var/lib/dpkg" "$@"
}
dpkg_root -i "$deb" >/dev/null 2>&1 || fail "dpkg could not install the package into a throwaway root"
dpkg_root -s lanlink | grep -q '^Status: install ok installed' ||
    fail "dpkg does not list lanlink as installed"
for f in usr/bin/lanlink usr/bin/lanlink-send usr/share/man/man1/lanlink.1.gz \
    usr/share/man/man1/lanlink-send.1.gz; do
    [ -f "$root/$f" ] || fail "the installed root lacks $f"
done
"$root/usr/bin/lanlink-send" --version | grep -qx "lanlink-send $version" ||
    fail "the installed lanlink-send does not run, or gives another version"
"$root/usr/bin/lanlink" --version | grep -qx "lanlink $version" ||
    fail "the installed lanlink does not run, or gives another version"
dpkg_root -P lanlink >/dev/null 2>&1 || fail "dpkg could not remove the package"
dpkg_root -s lanlink >/dev/null 2>&1 && fail "dpkg still lists lanlink after purging it"
left_over=$(cd "$root" && find . -path ./var/lib/dpkg -prune -o ! -type d -print)
[ -z "$left_over" ] || fail "purging left files behind: $left_over"
echo "package test passed in $(($(date +%s) - started)) s"

#!/bin/sh
# Installs the build into a prefix, builds the Debian package, checks its
# contents and dependencies, and installs it into a throwaway dpkg root.
#   package_test.sh BUILD_DIR SOURCE_DIR [lintian|no-lintian]
set -eu
build=$1
source=$2
lint=${3:-lintian}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The pages render without warnings.
for page in "$source"/man/*.1; do
    out=$(groff -ww -z -t -man "$page" 2>&1) || fail "groff failed on $page"
    [ -z "$out" ] || fail "groff warns on $page: $out"
done

# cmake --install
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/lanlink bin/lanlink-send share/man/man1/lanlink.1.gz share/man/man1/lanlink-send.1.gz; do
    [ -f "$work/prefix/$f" ] || fail "cmake --install did not put $f in place"
done
[ -x "$work/prefix/bin/lanlink-send" ] || fail "lanlink-send is not executable"

# The package.
(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/lanlink_*.deb)
contents=$(dpkg-deb --contents "$deb")
for f in ./usr/bin/lanlink ./usr/bin/lanlink-send ./usr/share/man/man1/lanlink.1.gz \
    ./usr/share/man/man1/lanlink-send.1.gz; do
    echo "$contents" | grep -q " $f\$" || fail "package lacks $f"
done
depends=$(dpkg-deb --field "$deb" Depends)
echo "$depends" | grep -q 'libsdl-net1.2' || fail "Depends lacks SDL_net: $depends"
echo "$depends" | grep -q 'libsdl1.2debian' || fail "Depends lacks SDL: $depends"
# Worked out by dpkg-shlibdeps from what the binaries use, versions included.
echo "$depends" | grep -q 'libc6 (>= 2\.' || fail "Depends has no libc6 version: $depends"
for f in ./usr/share/doc/lanlink/copyright ./usr/share/doc/lanlink/changelog.Debian.gz; do
    echo "$contents" | grep -q " $f\$" || fail "package lacks $f"
done

# lintian finds nothing but the misspellings that are the program's own
# required texts ("recieve", "Recieved", ...). Info and pedantic tags count:
# they include the hardening and stripping checks.
if [ "$lint" = lintian ]; then
    command -v lintian >/dev/null || fail "lintian is not installed (./setup installs it)"
    tags=$(lintian -I --pedantic --tag-display-limit 0 "$deb" 2>&1 |
        grep -v -E '^I: lanlink: spelling-error-in-binary ([Rr]ecieve[ds]?|recieving) ' |
        grep -v -E '^running with root privileges' || true)
    [ -z "$tags" ] || fail "lintian reports:
$tags"
fi

# A throwaway root with an empty dpkg database; the libraries themselves are
# the host's, so their packages are not required inside it.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless \
    --log=/dev/null --instdir="$root" --admindir="$root/var/lib/dpkg" -i "$deb" >/dev/null 2>&1 ||
    fail "dpkg could not install the package into a throwaway root"
dpkg --root="$root" --admindir="$root/var/lib/dpkg" -s lanlink | grep -q '^Status: install ok installed' ||
    fail "dpkg does not list lanlink as installed"
for f in usr/bin/lanlink usr/bin/lanlink-send usr/share/man/man1/lanlink.1.gz \
    usr/share/man/man1/lanlink-send.1.gz; do
    [ -f "$root/$f" ] || fail "installed root lacks $f"
done
"$root/usr/bin/lanlink-send" --version | grep -q '^lanlink-send ' || fail "installed lanlink-send does not run"
echo "package test passed"

#!/bin/sh
# Builds the Debian package, installs it as a station would, checks that the program, the
# udev rule and the man page are in their places, and removes the package again.
# Needs root (apt-get). Usage: package-test.sh [BUILD-DIR]
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-deb}
export DEBIAN_FRONTEND=noninteractive

fail() {
    echo "package-test: $*" >&2
    exit 1
}

echo "== package: build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVOFW_TESTS=OFF
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/korvofw_*.deb
(cd "$build" && cpack -G DEB)
set -- "$build"/korvofw_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "cpack made no single korvofw_*.deb in $build"
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")

echo "== package: install $deb"
installed() {
    [ "$(dpkg-query -W -f '${Status}' korvofw 2>/dev/null || true)" = "install ok installed" ]
}
if installed; then
    apt-get remove -y korvofw
fi
apt-get install -y --no-install-recommends "$deb"
installed || fail "korvofw is not installed"

echo "== package: the installed program"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
/usr/bin/korvofw -h >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 255 ] || fail "/usr/bin/korvofw -h exited with $status, not 255"
case $(head -n 1 "$work/err") in
"Usage: korvofw "*) ;;
*) fail "standard error of korvofw -h does not start with \"Usage: korvofw \": $(cat "$work/err")" ;;
esac
case $(head -n 1 "$work/out") in
"version: "*) ;;
*) fail "standard output of korvofw -h does not start with \"version: \": $(cat "$work/out")" ;;
esac

echo "== package: files in their places"
udevdir=$(pkg-config --variable=udevdir udev 2>/dev/null || true)
rule=${udevdir:-/lib/udev}/rules.d/60-korvofw.rules
manpage=/usr/share/man/man1/korvofw.1.gz
dpkg -L korvofw >"$work/files"
for f in /usr/bin/korvofw "$rule" "$manpage"; do
    grep -qx "$f" "$work/files" || fail "the package does not list $f"
    [ -f "$f" ] || fail "$f is listed but not installed"
done
cmp "$rule" packaging/60-korvofw.rules || fail "$rule is not packaging/60-korvofw.rules"
gzip -dc "$manpage" | cmp - packaging/korvofw.1 || fail "$manpage is not packaging/korvofw.1"
[ -z "$(find "$rule" -perm -o+w)" ] || fail "$rule is world-writable"
if command -v man >/dev/null 2>&1; then
    [ "$(man -w korvofw)" = "$manpage" ] || fail "man -w korvofw does not find $manpage"
fi

echo "== package: remove"
apt-get remove -y korvofw
! installed || fail "korvofw is still installed"
for f in /usr/bin/korvofw "$rule" "$manpage"; do
    [ ! -e "$f" ] || fail "$f is still there after the package was removed"
done
echo "== package: built, installed, checked and removed ($root/$build)"

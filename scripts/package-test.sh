#!/bin/sh
# Builds the Debian package, installs it as a station would, checks that the program, the
# udev rule, the man pages, the systemd units korvofw@.service and korvofw-line-view.service and
# their files in /etc/default are in their places, that the units parse and that nothing
# enabled them, and removes and purges
# the package again. Needs root (apt-get). Usage: package-test.sh [BUILD-DIR]
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
    apt-get purge -y korvofw
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
unitdir=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || true)
unit=${unitdir:-/lib/systemd/system}/korvofw@.service
defaults=/etc/default/korvofw
view=${unitdir:-/lib/systemd/system}/korvofw-line-view.service
view_defaults=/etc/default/korvofw-line-view
ledger_manpage=/usr/share/man/man1/korvofw-ledger.1.gz
dpkg -L korvofw >"$work/files"
schema=/usr/share/doc/korvofw/events.schema.json
for f in /usr/bin/korvofw /usr/bin/korvofw-ledger "$rule" "$manpage" "$unit" "$defaults" "$schema" \
    "$view" "$view_defaults" "$ledger_manpage"; do
    grep -qx "$f" "$work/files" || fail "the package does not list $f"
    [ -f "$f" ] || fail "$f is listed but not installed"
done
cmp "$rule" packaging/60-korvofw.rules || fail "$rule is not packaging/60-korvofw.rules"
gzip -dc "$manpage" | cmp - packaging/korvofw.1 || fail "$manpage is not packaging/korvofw.1"
gzip -dc "$ledger_manpage" | cmp - packaging/korvofw-ledger.1 ||
    fail "$ledger_manpage is not packaging/korvofw-ledger.1"
[ -z "$(find "$rule" -perm -o+w)" ] || fail "$rule is world-writable"
if command -v man >/dev/null 2>&1; then
    [ "$(man -w korvofw)" = "$manpage" ] || fail "man -w korvofw does not find $manpage"
fi

echo "== package: the systemd unit"
cmp "$defaults" packaging/korvofw.default || fail "$defaults is not packaging/korvofw.default"
dpkg-query -W -f '${Conffiles}' korvofw | grep -q "^ $defaults " ||
    fail "$defaults is not a conffile of the package"
# The keys that make it a station per port, run as korvofw, logging to the journal.
for line in "ExecStart=/usr/bin/korvofw --port %i -e /var/lib/korvofw/id-%i.bin \$KORVOFW_OPTIONS" \
    "EnvironmentFile=$defaults" "User=korvofw" "SupplementaryGroups=plugdev" \
    "StateDirectory=korvofw" "Restart=on-failure" "StandardOutput=journal" \
    "StandardError=journal" "WantedBy=multi-user.target" "Type=notify" "NotifyAccess=main" \
    "WatchdogSec=120s"; do
    grep -qxF "$line" "$unit" || fail "$unit has no line $line"
done
command -v systemd-analyze >/dev/null 2>&1 ||
    fail "systemd-analyze is missing (package systemd): the unit cannot be checked"
# It warns about what it ignores, and still succeeds: a warning fails the test.
systemd-analyze verify korvofw@1-1.4.service >"$work/verify" 2>&1 ||
    { cat "$work/verify" >&2; fail "systemd-analyze verify korvofw@1-1.4.service failed"; }
[ ! -s "$work/verify" ] || { cat "$work/verify" >&2; fail "systemd-analyze warns about $unit"; }
# Installed, not enabled: no link to it anywhere in systemd's configuration.
enabled=$(find /etc/systemd /run/systemd/system -name 'korvofw@*' 2>/dev/null || true)
[ -z "$enabled" ] || fail "the package enabled the unit: $enabled"

echo "== package: the line view's unit"
cmp "$view_defaults" packaging/korvofw-line-view.default ||
    fail "$view_defaults is not packaging/korvofw-line-view.default"
[ "$(stat -c '%U %a' "$view_defaults")" = "root 600" ] ||
    fail "$view_defaults, which may hold a password, is $(stat -c '%U %a' "$view_defaults")"
dpkg-query -W -f '${Conffiles}' korvofw | grep -q "^ $view_defaults " ||
    fail "$view_defaults is not a conffile of the package"
for line in "ExecStart=/usr/bin/korvofw-ledger \${KORVOFW_LEDGER} serve --listen \${KORVOFW_LISTEN}" \
    "EnvironmentFile=$view_defaults" "DynamicUser=yes" "SupplementaryGroups=korvofw" \
    "ProtectSystem=strict" "ReadOnlyPaths=/var/lib/korvofw" "NoNewPrivileges=yes" \
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX" "WantedBy=multi-user.target"; do
    grep -qxF "$line" "$view" || fail "$view has no line $line"
done
systemd-analyze verify korvofw-line-view.service >"$work/verify" 2>&1 ||
    { cat "$work/verify" >&2; fail "systemd-analyze verify korvofw-line-view.service failed"; }
[ ! -s "$work/verify" ] || { cat "$work/verify" >&2; fail "systemd-analyze warns about $view"; }
enabled=$(find /etc/systemd /run/systemd/system -name 'korvofw-line-view*' 2>/dev/null || true)
[ -z "$enabled" ] || fail "the package enabled the line view: $enabled"
getent passwd korvofw >/dev/null || fail "the package made no user korvofw"
[ "$(stat -c '%U:%G %a' /var/lib/korvofw)" = "korvofw:korvofw 2770" ] ||
    fail "/var/lib/korvofw is $(stat -c '%U:%G %a' /var/lib/korvofw), not korvofw:korvofw 2770"

echo "== package: remove, then purge"
apt-get remove -y korvofw
! installed || fail "korvofw is still installed"
for f in /usr/bin/korvofw /usr/bin/korvofw-ledger "$rule" "$manpage" "$unit" "$view" \
    "$ledger_manpage"; do
    [ ! -e "$f" ] || fail "$f is still there after the package was removed"
done
for f in "$defaults" "$view_defaults"; do
    [ -f "$f" ] || fail "removing the package removed $f, which only a purge may"
done
apt-get purge -y korvofw
for f in "$defaults" "$view_defaults"; do
    [ ! -e "$f" ] || fail "$f is still there after the package was purged"
done
# The station's directory may hold the line's ledger: it stays, with its user.
[ -d /var/lib/korvofw ] || fail "purging the package removed /var/lib/korvofw"
echo "== package: built, installed, checked, removed and purged ($root/$build)"

#!/bin/sh
# Builds the guest of the real-kernel bench under <build-dir>/kernel/:
#   vmlinuz      Debian's current amd64 kernel
#   initrd.gz    busybox, udevd with Debian's rules, the station (<build-dir>/src/korvofw)
#                and korvofw-ledger (which creates the stations' ledger), dfu-programmer and avrdude (with its configuration) and their libraries,
#                the USB host and 9p modules, and init.sh from this directory as /init
# The kernel package is looked up anew each time and kept while its name holds.
#
# Usage: build-guest.sh <build-dir>
set -eu

here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
build=$(cd "$1" && pwd)
station="$build/src/korvofw"
[ -x "$station" ] || { echo "build-guest: $station is missing; build the project first" >&2; exit 1; }
ledger_tool="$build/src/ledger/korvofw-ledger"
[ -x "$ledger_tool" ] || { echo "build-guest: $ledger_tool is missing; build the project first" >&2; exit 1; }

out="$build/kernel"
mkdir -p "$out"

fail() { echo "build-guest: $*" >&2; exit 1; }

# ---- kernel: the package linux-image-amd64 points to today
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }')
[ -n "$kpkg" ] || fail "apt-cache names no kernel behind linux-image-amd64 (run apt-get update)"
kdir="$out/$kpkg"
if [ ! -f "$kdir/done" ]; then
    echo "build-guest: fetching $kpkg"
    rm -rf "$kdir"
    mkdir -p "$kdir/deb" "$kdir/tree"
    (cd "$kdir/deb" && apt-get download "$kpkg" >/dev/null 2>&1) || fail "apt-get download $kpkg failed"
    # Only the kernel and the module directories the guest loads from.
    dpkg-deb --fsys-tarfile "$kdir"/deb/*.deb | tar -x -C "$kdir/tree" --wildcards \
        './boot/vmlinuz-*' './boot/config-*' \
        './lib/modules/*/kernel/drivers/usb/common/*' './lib/modules/*/kernel/drivers/usb/core/*' \
        './lib/modules/*/kernel/drivers/usb/host/xhci-*' './lib/modules/*/kernel/drivers/virtio/*' \
        './lib/modules/*/kernel/fs/9p/*' './lib/modules/*/kernel/fs/netfs/*' \
        './lib/modules/*/kernel/fs/fscache/*' './lib/modules/*/kernel/net/9p/*' 2>/dev/null ||
        fail "$kpkg lacks the kernel or a module directory"
    rm -rf "$kdir/deb"
    touch "$kdir/done"
fi
cp "$kdir"/tree/boot/vmlinuz-* "$out/vmlinuz"

# ---- initramfs tree
root="$out/root"
rm -rf "$root"
mkdir -p "$root/bin" "$root/sbin" "$root/etc" "$root/lib/modules" "$root/proc" "$root/sys" \
    "$root/dev" "$root/run" "$root/tmp" "$root/share"

# Libraries as the loader finds them, at the same paths; the loader itself by its real file.
copy_with_libraries() {
    for lib in $(ldd "$1" 2>/dev/null | awk '/=> \// { print $3 } /^\t\// { print $1 }'); do
        [ -e "$root$lib" ] && continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
    mkdir -p "$root$(dirname "$2")"
    cp -L "$1" "$root$2"
}

busybox=$(dpkg -L busybox-static 2>/dev/null | grep '/bin/busybox$' | head -n 1)
[ -n "$busybox" ] || fail "busybox-static is not installed"
cp "$busybox" "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do
    [ "$applet" = busybox ] || ln -sf busybox "$root/bin/$applet"
done

udevadm=$(command -v udevadm) || fail "udev is not installed"
copy_with_libraries "$udevadm" /bin/udevadm
mkdir -p "$root/lib/systemd"
ln -sf /bin/udevadm "$root/lib/systemd/systemd-udevd"
mkdir -p "$root/lib/udev" "$root/etc/udev"
cp -r /lib/udev/rules.d "$root/lib/udev/"
for helper in /lib/udev/*; do
    [ -f "$helper" ] && [ -x "$helper" ] && copy_with_libraries "$helper" "$helper"
done
cp /etc/passwd /etc/group "$root/etc/"

copy_with_libraries "$station" /bin/korvofw
copy_with_libraries "$ledger_tool" /bin/korvofw-ledger
# The dynamic loader comes from ldd's own line for it; without it nothing starts.
loader=$(ldd "$station" | awk '/^\t\// { print $1 }')
[ -n "$loader" ] && [ -f "$root$loader" ] || fail "the dynamic loader was not copied"
dfu=$(command -v dfu-programmer) || fail "dfu-programmer is not installed"
copy_with_libraries "$dfu" /bin/dfu-programmer
avrdude=$(command -v avrdude) || fail "avrdude is not installed"
copy_with_libraries "$avrdude" /bin/avrdude
[ -f /etc/avrdude.conf ] || fail "/etc/avrdude.conf (package avrdude) is missing"
cp /etc/avrdude.conf "$root/etc/avrdude.conf"

# ---- modules, dependencies first (the package has no modules.dep)
moddir=$(echo "$kdir"/tree/lib/modules/*)
find_module() {
    local pattern
    # Module names use '-' and '_' interchangeably.
    pattern=$(echo "$1" | sed 's/[-_]/[-_]/g')
    find "$moddir" -name "$pattern.ko" | head -n 1
}
: >"$root/lib/modules/order"
add_module() {
    local file dep # dash and busybox sh both know local; the recursion needs it
    grep -qx "$1" "$root/lib/modules/order.names" 2>/dev/null && return 0
    file=$(find_module "$1")
    if [ -z "$file" ]; then
        # A wanted module the package lacks is built in (dependencies are always modules).
        echo "build-guest: no module $1 in $kpkg; taken as built in" >&2
        echo "$1" >>"$root/lib/modules/order.names"
        return 0
    fi
    for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$dep"
    done
    echo "$1" >>"$root/lib/modules/order.names"
    cp "$file" "$root/lib/modules/"
    echo "$(basename "$file")" >>"$root/lib/modules/order"
}
for wanted in xhci-pci virtio_pci 9pnet_virtio 9p; do
    add_module "$wanted"
done
rm -f "$root/lib/modules/order.names"

cp "$here/init.sh" "$root/init"
chmod +x "$root/init"

(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out/initrd.gz"
echo "build-guest: $out/vmlinuz ($kpkg) and $out/initrd.gz, modules: $(tr '\n' ' ' <"$root/lib/modules/order")"

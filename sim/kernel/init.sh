#!/bin/sh
# /init of the real-kernel bench's guest: mounts, loads the USB host and 9p
# modules, starts udevd, runs /share/guest.sh from the host's share and
# powers off. Its messages go to the serial console.
set -eu
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /run/udev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
# A station's default name in a ledger comes from the host name.
hostname kbench

for module in $(cat /lib/modules/order); do
    insmod "/lib/modules/$module" || echo "init: insmod $module failed"
done

status=1
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share /share; then
    /lib/systemd/systemd-udevd --daemon
    udevadm trigger --action=add
    udevadm settle --timeout=30 || echo "init: udevadm settle timed out"
    echo "init: guest ready after $(cut -d' ' -f1 /proc/uptime) s"
    if [ -f /share/guest.sh ]; then
        sh /share/guest.sh && status=0 || status=$?
    else
        echo "init: no /share/guest.sh"
    fi
    echo "$status" >/share/guest.status
    sync
    umount /share || true
else
    echo "init: cannot mount the 9p share"
fi
echo "init: guest.sh finished with status $status; powering off"
poweroff -f

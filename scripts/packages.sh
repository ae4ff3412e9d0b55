#!/bin/sh
# Installs what building, the tests, the demo and every test stage need on Debian 12.
set -e
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    build-essential cmake pkg-config git ca-certificates file dpkg-dev \
    libusb-dev libudev-dev libgtest-dev srecord \
    libsqlite3-dev libpq-dev libssl-dev postgresql \
    clang libclang-rt-14-dev \
    qemu-system-x86 busybox-static udev systemd dfu-programmer avrdude libusbredirparser-dev cpio \
    sqlite3 nlohmann-json3-dev libsystemd-dev python3-jsonschema \
    libmicrohttpd-dev libjs-chart.js chromium prometheus curl

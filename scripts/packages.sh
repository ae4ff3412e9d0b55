#!/bin/sh
# Installs what building, testing and the demo need on Debian 12.
set -e
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    build-essential cmake pkg-config git ca-certificates \
    libusb-dev libudev-dev libgtest-dev srecord

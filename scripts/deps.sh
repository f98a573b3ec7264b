#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Usage: scripts/deps.sh [build|windows|test]
#   windows: adds what the Windows build and its setup program need (MinGW-w64, NSIS, zip; Qt for
#            MinGW is built from Debian's sources by scripts/build-qt-mingw)
#   test:    adds that and what only the test suite needs (Wine, Xvfb, ...)
set -euo pipefail
what=${1:-build}

build_pkgs=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools
            libqcustomplot-dev libudev-dev libmosquitto-dev libgl-dev xdg-utils dpkg-dev file)
windows_pkgs=(g++-mingw-w64-x86-64-posix nsis zip xz-utils perl)
test_pkgs=(clang clang-tidy libclang-rt-14-dev libbenchmark-dev xvfb xauth imagemagick x11-utils unzip
           qemu-system-x86 linux-image-amd64 busybox-static udev cpio
           wine64 fonts-wine fonts-dejavu-core desktop-file-utils strace iproute2
           mosquitto mosquitto-clients prometheus openssl systemd curl)

pkgs=("${build_pkgs[@]}")
case "$what" in
build) ;;
windows) pkgs+=("${windows_pkgs[@]}") ;;
test) pkgs+=("${windows_pkgs[@]}" "${test_pkgs[@]}") ;;
*) echo "usage: scripts/deps.sh [build|windows|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

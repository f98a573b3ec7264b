#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Usage: scripts/deps.sh [build|test]   (test adds the packages only the test suite needs)
set -euo pipefail
what=${1:-build}

build_pkgs=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools
            libqcustomplot-dev libudev-dev libgl-dev xdg-utils dpkg-dev file)
test_pkgs=(clang libclang-rt-14-dev libbenchmark-dev xvfb xauth imagemagick
           qemu-system-x86 linux-image-amd64 busybox-static udev cpio
           g++-mingw-w64-x86-64-posix wine64 desktop-file-utils strace iproute2)

pkgs=("${build_pkgs[@]}")
[ "$what" = test ] && pkgs+=("${test_pkgs[@]}")

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

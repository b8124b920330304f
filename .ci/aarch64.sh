#!/usr/bin/env bash
# The board's build: cross-compiled for 64-bit ARM (preset aarch64), with the
# whole test suite run as ARM code under qemu's user-mode emulation; then the
# board's Debian packages (preset deb-arm64).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/need_packages.sh
need_packages cmake make pkg-config libgtest-dev g++-aarch64-linux-gnu gcc-aarch64-linux-gnu \
    libc6-dev-arm64-cross qemu-user

# Debian's arm64 libraries (multiarch) for what the target links beyond the
# C and C++ libraries. --no-remove: never trade a host package for them.
arm64_packages=(libfftw3-dev:arm64 zlib1g-dev:arm64 libxml2-dev:arm64 libzstd-dev:arm64 libstdc++6:arm64)
if ! dpkg-query -W -f='${Status}\n' "${arm64_packages[@]}" 2>/dev/null |
        grep -c "install ok installed" | grep -qx "${#arm64_packages[@]}"; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${arm64_packages[*]}"
    $sudo dpkg --add-architecture arm64
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-remove \
        "${arm64_packages[@]}" >/dev/null
fi

cmake --preset aarch64
cmake --build --preset aarch64 -j"$(nproc)"
ctest --preset aarch64
# The board's Debian packages, cross-built the same way.
.ci/package.sh arm64

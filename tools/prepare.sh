#!/usr/bin/env bash
# Shared by demo.sh and test.sh: installs the Debian packages that are missing and builds
# everything into build/ (test.sh --sanitize points ORVANTA_BUILD at build-asan/). Safe to
# run again: it installs nothing that is there and the build only redoes what changed.
set -euo pipefail

ORVANTA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ORVANTA_BUILD="$ORVANTA_ROOT/build"

ORVANTA_PACKAGES=(
    libcurl4-openssl-dev
    build-essential cmake
    qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools libqt6test6
    zlib1g-dev fonts-urw-base35
    xvfb x11vnc xauth
    imagemagick librsvg2-bin time
    libxcb-xtest0-dev
    clang libclang-rt-14-dev
)

orvanta_install_missing() {
    local missing=() pkg
    for pkg in "${ORVANTA_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
}

orvanta_build() { # [further cmake cache settings]
    cmake -S "$ORVANTA_ROOT" -B "$ORVANTA_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$ORVANTA_BUILD" -j"$(nproc)"
}

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
    xvfb x11vnc xauth openbox xdotool
    imagemagick librsvg2-bin time
    iproute2 util-linux
    libxcb1-dev libxcb-xtest0-dev
    clang libclang-rt-14-dev
    locales
    # The Debian packages and their test (tests/package/run.sh): building and checking them,
    # what the kiosk session runs on, and the tools that drive it under Xvfb.
    dpkg-dev lintian man-db systemd procps
    xserver-xorg-core xserver-xorg-input-libinput xinit x11-xserver-utils x11-utils
    # Another account in the guard's tests and the package test (setpriv is util-linux's),
    # the package test's VNC client (the DES of VNC authentication is openssl's), and the
    # journal upload through a collector (tests/package/journal-upload.sh) with the
    # watchdog's stand-in for systemd in the package test.
    python3 openssl systemd-journal-remote
)

# The tests convert numbers and currency under these locales, and CI runs the whole suite
# under de_DE (a comma for the decimal point).
ORVANTA_LOCALES=(en_US.UTF-8 de_DE.UTF-8 fr_FR.UTF-8)

orvanta_install_missing() {
    local missing=() pkg
    for pkg in "${ORVANTA_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing missing packages: ${missing[*]}"
        local sudo=()
        if [ "$(id -u)" -ne 0 ]; then
            sudo=(sudo)
        fi
        "${sudo[@]}" apt-get update
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y --no-install-recommends "${missing[@]}"
    fi
    orvanta_generate_locales
}

# Generates the locales of ORVANTA_LOCALES that `locale -a` lacks (it writes "de_DE.utf8");
# those present are left alone.
orvanta_generate_locales() {
    local have missing=() loc
    have="$(locale -a 2>/dev/null | tr '[:upper:]' '[:lower:]')"
    for loc in "${ORVANTA_LOCALES[@]}"; do
        if ! grep -qx "$(tr '[:upper:]' '[:lower:]' <<<"${loc%.UTF-8}.utf8")" <<<"$have"; then
            missing+=("$loc")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    echo "Generating locales: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    for loc in "${missing[@]}"; do
        if grep -q "^# *$loc UTF-8\$" /etc/locale.gen; then
            "${sudo[@]}" sed -i "s/^# *$loc UTF-8\$/$loc UTF-8/" /etc/locale.gen
        elif ! grep -q "^$loc UTF-8\$" /etc/locale.gen; then
            echo "$loc UTF-8" | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
        fi
    done
    "${sudo[@]}" locale-gen
}

orvanta_build() { # [further cmake cache settings]
    cmake -S "$ORVANTA_ROOT" -B "$ORVANTA_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$ORVANTA_BUILD" -j"$(nproc)"
}

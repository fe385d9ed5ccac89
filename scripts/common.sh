#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Shared by probe.sh and test.sh: the packages the build needs, installing
# them, and configuring and building a tree. Source it; do not run it.

CVCLIENT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

CVCLIENT_PACKAGES=(cmake g++ make pkg-config rapidjson-dev libglib2.0-dev libsystemd-dev libgtest-dev libgmock-dev
    freerdp2-dev libpcsclite-dev libnm-dev libcurl4-gnutls-dev libudev-dev libxcb1-dev libxcb-randr0-dev libxcb-xkb-dev
    libssl-dev python3
    # what the providers run or load, and the real services their tests start
    dmidecode net-tools iproute2 pcscd vsmartcard-vpcd dbus python3-dbusmock python3-gi gir1.2-glib-2.0 libglib2.0-bin
    umockdev libumockdev-dev gir1.2-umockdev-1.0 xserver-xorg-core xserver-xorg-video-dummy x11-xkb-utils
    x11-xserver-utils x11-utils xkb-data locales tzdata
    # the real RDP client and what its end-to-end test runs it in
    freerdp2-x11 libfreerdp-server2-2 xvfb xauth openssl util-linux
    # the fuzz targets: clang with libFuzzer and the sanitizer runtimes
    clang clang-14 libclang-rt-14-dev
    # the Debian package and its check
    debhelper dpkg-dev fakeroot lintian git)

# Runs a command as root: directly when root, else through sudo.
asRoot() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "error: '$*' needs root and sudo is not installed" >&2
        return 1
    fi
}

# Installs whatever of CVCLIENT_PACKAGES is missing; apt is left alone when
# everything is there already.
installPackages() {
    local missing=() package
    for package in "${CVCLIENT_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "Installing ${missing[*]}..." >&2
    asRoot env DEBIAN_FRONTEND=noninteractive apt-get update &&
        asRoot env DEBIAN_FRONTEND=noninteractive apt-get install -y "${CVCLIENT_PACKAGES[@]}"
}

# configureAndBuild DIR [CMAKE OPTION]... [-- TARGET...]: configures the
# source tree into CVCLIENT_ROOT/DIR and builds it (only TARGETs if given).
configureAndBuild() {
    local directory=$CVCLIENT_ROOT/$1 options=() targets=()
    shift
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        options+=("$1")
        shift
    done
    if [ $# -gt 0 ]; then
        shift
        targets=(--target "$@")
    fi
    cmake -S "$CVCLIENT_ROOT" -B "$directory" "${options[@]}" &&
        cmake --build "$directory" -j2 "${targets[@]}"
}

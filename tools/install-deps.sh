#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian 12 packages that playing, building and testing need, and only
# those that are missing, so a second run costs nothing.
#   tools/install-deps.sh            all three lists
#   tools/install-deps.sh runtime    only what the installed game needs to run
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

# What the installed game needs; the Debian package's Depends is made from the same file.
mapfile -t runtime < <(sed -e 's/#.*//' -e 's/\[[a-z-]*\]//' "$here/../packaging/runtime-packages.txt" | xargs -n1)

build=(
    cmake ninja-build g++ pkg-config ccache
    qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools
    dpkg-dev file
)

test=(
    qml6-module-qttest
    dbus xvfb xauth xdotool openbox x11-utils imagemagick fontconfig weston qt6-wayland
    desktop-file-utils appstream lintian man-db git
    clang libclang-rt-14-dev valgrind
    at-spi2-core python3-pyatspi gir1.2-atspi-2.0
)

case "${1:-all}" in
    runtime) packages=("${runtime[@]}") ;;
    all) packages=("${runtime[@]}" "${build[@]}" "${test[@]}") ;;
    *) echo "usage: $0 [runtime|all]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs the Debian 12 packages that building, playing and testing need, and only
# those that are missing, so a second run costs nothing.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools
    qml6-module-qtquick qml6-module-qtquick-window qml6-module-qtquick-localstorage
    qml6-module-qtqml-workerscript qml6-module-qttest
    fonts-comic-neue fonts-dejavu-core
    libqt6sql6-sqlite qt6-qpa-plugins
    python3 dbus xvfb xauth xdotool openbox x11-utils imagemagick
    clang libclang-rt-14-dev valgrind
)

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

#!/usr/bin/env bash
# Installs the Debian packages the build (and, with --test, the tests) need;
# --windows: those of the Windows build, its suite under Wine and its packages.
# As root it runs apt-get itself; otherwise it prints the line to run.
set -euo pipefail

packages=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libicu-dev libgl-dev libx11-dev libxcb1-dev libssl-dev fonts-dejavu-core
          fonts-liberation2)
if [[ "${1:-}" == "--test" ]]; then
    packages+=(xvfb xauth xdotool x11-utils iproute2 imagemagick socat ncat
               dpkg-dev file desktop-file-utils appstream librsvg2-bin
               clang-14 libclang-rt-14-dev clang-format clang-tidy xxd gnuplot-nox
               dbus-daemon at-spi2-core python3 python3-pyatspi xclip openssl curl tshark)
elif [[ "${1:-}" == "--windows" ]]; then
    packages+=(g++-mingw-w64-x86-64-posix wine64 nsis zip xvfb xauth dpkg-dev python3)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "These packages are missing. Install them, then run this command again:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

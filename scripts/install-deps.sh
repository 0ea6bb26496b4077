#!/usr/bin/env bash
# Installs what Telvar needs to build, test and show itself on Debian/Ubuntu.
set -euo pipefail

packages=(
    cmake g++ make python3
    git  # the Windows check lists the tree's files with it (and walks the tree without)
    qt6-base-dev qt6-serialport-dev libgl-dev
    fonts-arphic-uming
    xvfb xauth x11-utils xdotool imagemagick
    librsvg2-bin  # icons/make-icons.py renders the icon's SVG
    # telvard: its client library; the broker, clients and openssl of its tests; its benchmark's client
    libmosquitto-dev mosquitto mosquitto-clients openssl python3-paho-mqtt
    # The service's local socket (QtNetwork comes with qt6-base-dev): socat to talk to it by
    # hand as the README does; setpriv (util-linux) runs the tests' clients as another user
    socat
    libsystemd-dev  # telvard's notify and watchdog under systemd
    util-linux mount  # setpriv, unshare and mount: tests as another user, a private /etc/resolv.conf
    libnss-wrapper  # a hosts file of the tests' own for the bridge's name lookups
    qt6-httpserver-dev qt6-websockets-dev  # telvard's web page and HTTP API
    chromium  # the web page's browser tests, driven by puppeteer-core from tests/browser's lockfile
)
# Node.js and npm drive the browser tests; Debian's packages only where the
# machine has none of its own (Debian's npm conflicts with a Node.js of another origin).
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
if [ "${TELVAR_WITH_CLANG:-0}" = 1 ]; then
    packages+=(clang libclang-rt-dev)
fi
# The package phase (Debian package and its checkers) and the Windows check
# (MinGW-w64 against Debian's Qt headers; libmosquitto's header for the bridge).
if [ "${TELVAR_WITH_PACKAGING:-0}" = 1 ]; then
    packages+=(dpkg-dev lintian desktop-file-utils appstream systemd man-db ninja-build)
    packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libmosquitto-dev)
fi
# The peer the benchmark compares Telvar's cost with.
if [ "${TELVAR_WITH_PEER:-0}" = 1 ]; then
    packages+=(cutecom)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
    sudo=sudo
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

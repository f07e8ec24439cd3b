#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing;
# with arguments, those packages instead.
set -euo pipefail

packages=(g++ cmake ninja-build qtbase5-dev libqt5websockets5-dev
          # the dashboard's web server (server/dashboard_http.cpp), found through pkg-config
          libcpp-httplib-dev pkg-config
          # the Python file readers, quarix-run and their tests (python/, tests/python/)
          python3 python3-numpy python3-matplotlib python3-h5py python3-websocket
          python3-pip python3-setuptools python3-wheel
          # the dashboard's browser test (tests/server/dashboard/)
          chromium chromium-driver python3-selenium)
# npm installs the dashboard's plotting library at build time; a Node.js
# installed otherwise may bring its own npm.
command -v npm > /dev/null || packages+=(nodejs npm)
[ $# -gt 0 ] && packages=("$@")
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages and not root: run as root or install them first." >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Installs the Debian packages the benchmark drivers in bench/ need, if any is
# missing: the Python WebSocket client and NumPy used by bench/lossless_rate and
# bench/overload. The build and test packages are scripts/install-packages.sh.
set -euo pipefail

packages=(python3 python3-websocket python3-numpy)
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

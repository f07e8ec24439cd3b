#!/usr/bin/env bash
# Installs the Debian packages the benchmark drivers in bench/ need, if any is
# missing: the Python WebSocket client and NumPy used by bench/lossless_rate and
# bench/overload.
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/install-packages.sh" python3 python3-websocket python3-numpy

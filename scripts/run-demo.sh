#!/usr/bin/env bash
# Builds the server and runs it on the demo configuration with simulated boards.
# Clients connect on ws://<host>:51234/ (see docs/protocol.md). Stop with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-packages.sh
# quarix-run, to look at the recorded runs (see "Looking at a recorded run" in README.md).
bash scripts/install-run-tool.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARIX_BUILD_TESTS=OFF -DQUARIX_BUILD_BENCH=OFF
cmake --build build --target quarix-boards-server -j"$(nproc)"

# The demo records runs below this folder; the server refuses to start without it.
storage=$(python3 -c 'import json;print(json.load(open("quarix_config_qdcpos.json"))["storage"]["file_path"])' 2>/dev/null || echo /tmp/quarix-data)
mkdir -p "$storage"

cd build
exec ./quarix-boards-server "$@"

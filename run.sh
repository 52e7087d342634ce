#!/usr/bin/env bash
# Builds the tool set and runs it on an emulated device.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
echo "built into build/default"

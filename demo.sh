#!/usr/bin/env bash
# Builds acc_recorder against the simulated device and records into
# ./demo_data until you press a key.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/need_packages.sh
need_packages g++ cmake make pkg-config libfftw3-dev
cmake --preset demo >/dev/null
cmake --build --preset demo -j"$(nproc)" >/dev/null
mkdir -p demo_data
exec build/demo/src/acc_recorder

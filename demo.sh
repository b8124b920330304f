#!/usr/bin/env bash
# Builds acc_recorder and acc_inspect against the simulated device and
# records into ./demo_data until you press a key. Each step says what it is
# doing; a failing step's own messages stay on the screen.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/need_packages.sh
need_packages g++ cmake make pkg-config libfftw3-dev
echo "Configuring the build in build/demo ..."
cmake --preset demo >/dev/null
echo "Building acc_recorder and acc_inspect (the first time takes a minute) ..."
cmake --build --preset demo -j"$(nproc)"
mkdir -p demo_data
echo "Recording into demo_data/ ... press any key to stop"
exec build/demo/src/acc_recorder

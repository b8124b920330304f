#!/usr/bin/env bash
# Builds acc_recorder, acc_inspect and acc_archive against the simulated
# device and records into ./demo_data until you press a key; then prints the
# command that inspects the recording just made. Each step says what it is
# doing; a failing step's own messages stay on the screen.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/need_packages.sh
need_packages g++ cmake make pkg-config libfftw3-dev zlib1g-dev libzstd-dev
echo "Configuring the build in build/demo ..."
configured=$(cmake --preset demo) || {
    echo "$configured"
    exit 1
}
# What configure leaves out, and why, stays on the screen.
grep -- ": not built" <<<"$configured" | sed 's/^-- //' || true
programs=acc_recorder
for program in acc_inspect acc_archive; do
    grep -q -- "^-- $program: not built" <<<"$configured" || programs+=", $program"
done
echo "Building ${programs} (the first time takes a minute) ..."
cmake --build --preset demo -j"$(nproc)"
mkdir -p demo_data
# The recorder never overwrites a file: the files that are new afterwards
# are this recording's.
shopt -s nullglob
declare -A earlier=()
for file in demo_data/ai0_accel_*.csv; do earlier[$file]=1; done
echo "Recording into demo_data/ ... press any key to stop"
status=0
build/demo/src/acc_recorder || status=$?
made=()
for file in demo_data/ai0_accel_*.csv; do
    [ -n "${earlier[$file]:-}" ] || made+=("$file")
done
[ ${#made[@]} -gt 0 ] || exit "$status"
echo
if [ -x build/demo/inspect/acc_inspect ]; then
    echo "Next, inspect the recording you just made:"
    echo "  build/demo/inspect/acc_inspect ${made[*]}"
else
    echo "The recording is in ${made[*]}; acc_inspect was not built (see above)."
fi
exit "$status"

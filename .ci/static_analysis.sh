#!/usr/bin/env bash
# Static analysis of our code: clang-tidy with the checks in .clang-tidy over
# the compile database, and cppcheck. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/need_packages.sh
need_packages g++ cmake make libgtest-dev libgmock-dev pkg-config libfftw3-dev zlib1g-dev \
    libxml2-dev libzstd-dev clang-tidy cppcheck

build=${STATIC_ANALYSIS_BUILD_DIR:-build/static-analysis}
# Configuring is enough: nothing is generated at build time.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DACC_BUILD_TESTS=ON -DACC_BUILD_BENCH=OFF \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
root=$(pwd)
# cppcheck resolves the database's files against a relative --project path.
database="$(cd "$build" && pwd)/compile_commands.json"
status=0

echo "== clang-tidy"
run-clang-tidy -quiet -j "$(nproc)" -p "$build" \
    -header-filter="^$root/(src|inspect|archive|common|sim|tests)/" "^$root/(src|inspect|archive|common|sim|tests)/" \
    >"$build/clang-tidy.log" 2>&1 || status=1
# Only the findings: the log also lists each command and clang's counts.
sed -r 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log" | grep -E '^/.*: (warning|error): ' | sort -u || true
[ "$status" -eq 0 ] && echo "clang-tidy: no findings" || echo "clang-tidy: findings above (full log: $build/clang-tidy.log)"

echo "== cppcheck"
cppcheck --project="$database" --std=c++17 -j "$(nproc)" --quiet \
    --enable=warning,performance,portability --library=googletest --library=posix \
    --inline-suppr --suppressions-list=.cppcheck-suppressions --error-exitcode=1 \
    "--file-filter=$root/src/*" "--file-filter=$root/inspect/*" "--file-filter=$root/archive/*" "--file-filter=$root/common/*" "--file-filter=$root/sim/*" "--file-filter=$root/tests/*" \
    && echo "cppcheck: no findings" || status=1

exit "$status"

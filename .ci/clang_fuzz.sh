#!/usr/bin/env bash
# Builds everything with Clang and warnings as errors, then fuzzes
# acc_inspect's row parser for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/clang -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
      -DACC_WARNINGS_AS_ERRORS=ON -DACC_BUILD_FUZZ=ON >/dev/null
cmake --build build/clang -j"$(nproc)"
ctest --test-dir build/clang -L fuzz --output-on-failure

#!/usr/bin/env bash
# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# (preset asan). The programs the tests start are instrumented too; any report,
# a leak included, ends that program with a failure its test sees.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/need_packages.sh
need_packages g++ cmake make libgtest-dev libgmock-dev pkg-config libfftw3-dev \
    librsvg2-bin libxml2-utils libxml2-dev locales zlib1g-dev libzstd-dev

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake --preset asan
cmake --build --preset asan -j"$(nproc)"
ctest --preset asan

#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/need_packages.sh
need_packages g++ cmake make libgtest-dev libgmock-dev pkg-config libfftw3-dev \
    librsvg2-bin libxml2-utils libxml2-dev locales zlib1g-dev libzstd-dev e2fsprogs mount \
    python3-numpy python3-scipy prometheus-node-exporter groff-base man-db
need_decimal_comma_locale
cmake --preset dev
cmake --build --preset dev -j"$(nproc)"
ctest --preset dev

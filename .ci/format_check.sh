#!/usr/bin/env bash
# Fails when a C++ file under src/ inspect/ archive/ common/ sim/ tests/ bench/ is not
# formatted as .clang-format says; lists each such file and the change.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/need_packages.sh
need_packages clang-format

status=0
while IFS= read -r -d '' file; do
    if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
        echo "not formatted: $file"
        clang-format "$file" | diff -u "$file" - || true
        status=1
    fi
done < <(git ls-files -z --cached --others --exclude-standard -- \
    'src/*.cpp' 'src/*.h' 'inspect/*.cpp' 'inspect/*.h' 'archive/*.cpp' 'archive/*.h' 'common/*.cpp' 'common/*.h' 'sim/*.cpp' 'sim/*.h' \
    'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h')
[ "$status" -eq 0 ] && echo "format: all files formatted"
exit "$status"

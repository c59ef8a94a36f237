#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lists the project's C and C++ files that .clang-format would change;
# exits 1 when there is any. With --fix it formats them instead.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=(--dry-run --Werror)
[ "${1:-}" = --fix ] && mode=(-i)

# the fuzz corpora are data, whatever their names end in
git ls-files -z -- '*.c' '*.h' '*.cpp' ':!:tests/fuzz/corpus' |
    xargs -0 -r clang-format "${mode[@]}" --style=file

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every Windows test under Wine, each with the time it took:
#   tests/win/run-all.sh BUILD_WIN_DIR LINUX_BUILD_DIR
# Each part skips with its reason where Wine or a namespace is missing.
set -uo pipefail
win=${1:?windows build directory}
linux=${2:?linux build directory}
here=$(cd "$(dirname "$0")" && pwd)

if [[ ! -f $win/build.ninja && ! -f $win/Makefile ]]; then
    echo "wine tests skipped: no MinGW-w64 cross build in $win"
    exit 0
fi
status=0
for part in library-tests smoke cli-interop devsim-interop win32-layer deployment gui-tests installer; do
    script=$here/run-$part.sh
    [[ -x $script ]] || continue
    start=$(date +%s)
    echo "== wine: $part"
    if ! "$script" "$win" "$linux"; then
        echo "FAIL wine: $part"
        status=1
    fi
    echo "== wine: $part took $(( $(date +%s) - start )) s"
done
exit $status

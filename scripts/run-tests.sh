#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every test of the trees scripts/test.sh built: the build and its
# sanitizer twin, the packages, the Windows build under Wine and each fuzzer
# briefly. scripts/test.sh runs it inside a private network namespace
# (NETSCRY_NETNS=1); every part goes on after a failure, and the exit status
# says whether any failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

status=0
ctest --test-dir build --output-on-failure -j2 || status=1
ctest --test-dir build-asan --output-on-failure -j2 || status=1
# The packages: lintian, the desktop validators, and the programs run from
# the unpacked packages.
scripts/check-package.sh build || status=1
# The Windows build under Wine: its own tests, and its programs against
# the Linux ones both ways.
tests/win/run-all.sh build-win build || status=1
# Each fuzzer runs briefly from its checked-in corpus.
for fuzzer in build-fuzz/bin/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    case "$fuzzer" in *_replay) continue ;; esac
    name=$(basename "$fuzzer")
    corpus="tests/fuzz/corpus/${name#fuzz_}"
    work=$(mktemp -d)
    echo "fuzzing $name for ${NETSCRY_FUZZ_SECONDS:-20} s"
    if ! "$fuzzer" -max_total_time="${NETSCRY_FUZZ_SECONDS:-20}" -print_final_stats=0 \
            "$work" "$corpus" >"$work.log" 2>&1; then
        tail -n 40 "$work.log"
        status=1
    fi
    rm -rf "$work" "$work.log"
done
exit $status

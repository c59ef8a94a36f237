#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds everything and runs every test.
#
# The tests run inside a private network namespace with only loopback up,
# so nothing they send can leave the machine. Without the privileges for
# one (a non-root user on a workstation without user namespaces) the suite
# runs on the host's loopback and the tests that need a namespace skip.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# every source file names its licence
scripts/check-spdx.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build -j"$jobs"
# The Debian packages, checked with the tests below.
rm -rf build/packages
(cd build && cpack -G DEB >/dev/null)

# The Qt-free library and simulator again, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzz targets.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DNETSCRY_SANITIZE=ON -DNETSCRY_GUI=OFF -DNETSCRY_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DNETSCRY_FUZZ=ON -DNETSCRY_GUI=OFF -DNETSCRY_TESTS=OFF -DNETSCRY_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs"

# Windows: the library, the simulator and the command-line tool
# cross-built with their tests, and the program with its tests, deployment
# folder and setup program, all run under Wine below. Qt for Windows is
# built once into its cache (tens of minutes) and found there afterwards.
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    if scripts/build-qt-windows.sh >build/qt-windows.log 2>&1; then
        tail -n 1 build/qt-windows.log
        scripts/build-windows.sh build-win
    else
        echo "the Windows program's tests are skipped: Qt for Windows could not be built ($(tail -n 1 build/qt-windows.log))"
        cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
            -DNETSCRY_GUI=OFF -DNETSCRY_BENCH=OFF >/dev/null
        cmake --build build-win -j"$jobs"
    fi
fi

cat > build/run-tests.sh <<'INNER'
#!/usr/bin/env bash
set -uo pipefail
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
INNER
chmod +x build/run-tests.sh

in_netns='ip link set lo up && NETSCRY_NETNS=1 build/run-tests.sh'
if [ "$(id -u)" -eq 0 ] && unshare --net --mount true 2>/dev/null; then
    exec unshare --net --mount -- bash -c "$in_netns"
elif unshare --map-root-user --net --mount true 2>/dev/null; then
    exec unshare --map-root-user --net --mount -- bash -c "$in_netns"
else
    echo "no private network namespace available: tests that need one will skip" >&2
    NETSCRY_NETNS=0 exec build/run-tests.sh
fi

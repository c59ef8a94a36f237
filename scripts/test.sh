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
# and is laid out as .clang-format says
scripts/check-format.sh

jobs=$(nproc)
# The trees are the presets of CMakePresets.json. The packages want
# Debian's library folders, hence the prefix.
cmake --preset default -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build --preset default -j"$jobs"
# The Debian packages, checked with the tests below.
rm -rf build/packages
(cd build && cpack -G DEB >/dev/null)

# The Qt-free library and simulator again, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzz targets.
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"

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
        cmake --preset windows-cross -DNETSCRY_GUI=OFF >/dev/null
        cmake --build --preset windows-cross -j"$jobs"
    fi
fi

in_netns='ip link set lo up && NETSCRY_NETNS=1 scripts/run-tests.sh'
if [ "$(id -u)" -eq 0 ] && unshare --net --mount true 2>/dev/null; then
    exec unshare --net --mount -- bash -c "$in_netns"
elif unshare --map-root-user --net --mount true 2>/dev/null; then
    exec unshare --map-root-user --net --mount -- bash -c "$in_netns"
else
    echo "no private network namespace available: tests that need one will skip" >&2
    NETSCRY_NETNS=0 exec scripts/run-tests.sh
fi

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Netscry for 64-bit Windows, built from a Linux checkout: Qt for Windows
# when its cache lacks it (scripts/build-qt-windows.sh), the MinGW-w64 cross
# build with the program and its tests, the deployment folder, the setup
# program and the portable zip. Prints their paths and how long each step
# took.
#   scripts/build-windows.sh [BUILD_DIR]     (default: build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-win}

step_start=$SECONDS
took() { echo "build-windows: $1 took $((SECONDS - step_start)) s"; step_start=$SECONDS; }

scripts/build-qt-windows.sh
qt=$(scripts/build-qt-windows.sh --prefix)
took "Qt for Windows"

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_PREFIX_PATH="$qt" -DNETSCRY_GUI=ON -DNETSCRY_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
took "the cross build"
cmake --build "$build" --target windows-packages
took "the deployment folder, the setup program and the zip"

build=$(cd "$build" && pwd)
echo "deployment folder: $(ls -d "$build"/deploy/netscry-*-win64)"
echo "setup program:     $(ls "$build"/netscry-*-win64-setup.exe)"
echo "portable zip:      $(ls "$build"/netscry-*-win64.zip)"

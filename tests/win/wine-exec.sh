#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows program under Wine: the cross build's emulator, so that
# `ctest` there runs each test program this way. The caller chooses the
# prefix (WINEPREFIX); tests/win/run-library-tests.sh makes a throwaway one.
. "$(dirname "$0")/wine-common.sh"
if [[ -z $wine ]]; then
    echo "wine-exec: wine64 is not installed" >&2
    exit 127
fi
export WINEDEBUG=${WINEDEBUG:--all}
exec "$wine" "$@"

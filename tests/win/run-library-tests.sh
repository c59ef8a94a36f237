#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the Windows build's library tests (ctest in the cross build, each
# program under Wine) in a throwaway Wine prefix. Only inside a network
# namespace of its own (NETSCRY_NETNS=1, as scripts/test.sh runs it): the
# tests broadcast on loopback.
#   tests/win/run-library-tests.sh BUILD_WIN_DIR
set -euo pipefail

win=${1:?windows build directory}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-common.sh"
need_wine "wine library tests"
need_netns "wine library tests"
if ! ctest --test-dir "$win" -N -LE wine_gui | grep -q 'Total Tests: [1-9]'; then
    echo "FAIL the Windows build has no tests (configured without NETSCRY_TESTS?)"
    exit 1
fi

wine_prefix netscry-wine
# one server for every test program, not one started and stopped for each
mkdir -p "$WINEPREFIX"
"$server" -p
wine_boot

# Wine sends every UDP datagram from the address its routes choose, not the
# one IP_PKTINFO names, and binds 127.0.0.x other than .1 as the wildcard:
# under Wine a simulated device at 127.0.0.x answers from 127.0.0.1. The
# library rightly takes such an answer for none, so the cases that need a
# probe, an upload or a unicast GetIP or SetIP answered from a device's own
# address stay Linux-only (the smoke test runs the unicast calls against
# the Linux simulator).
wine_only_excluded=(
    LibraryOnSimulator.SetToForeignSubnetAndBackChangesReachability
    LibraryOnSimulator.ProbeAnsweredSilentAndOffLink
    LibraryOnSimulator.DeviceIsAnnouncedOnlyOnceItsProbeHasSettled
    LibraryOnSimulator.AutoIPMakesTheForeignDeviceReachable
    LibraryOnSimulator.UpgradeLogLinesArriveDuringTheCallInOrderWithItsEvents
    LibraryOnSimulator.AddressesInUseNameWhatHoldsEach
    LibraryOnSimulator.UnicastRequestsReachOnlyTheDeviceAtTheAddress
)
echo "not run under Wine (a device's own source address): ${wine_only_excluded[*]}"
export GTEST_FILTER="-$(IFS=:; echo "${wine_only_excluded[*]}")"

# the windows' tests have a script of their own (run-gui-tests.sh)
ctest --test-dir "$win" -LE wine_gui --output-on-failure --timeout 300

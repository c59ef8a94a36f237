#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the Windows build's smoke test under Wine against the Linux
# simulator on loopback. Only inside a network namespace of its own
# (NETSCRY_NETNS=1, as scripts/test.sh runs it): the simulator takes the
# device port on lo.
#   tests/win/run-smoke.sh BUILD_WIN_DIR LINUX_BUILD_DIR
set -euo pipefail

win=${1:?windows build directory}
linux=$(cd "${2:?linux build directory}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-common.sh"
need_wine "wine smoke test"
need_netns "wine smoke test"

# a caller of the DLL needs no MinGW runtime beside it
if command -v x86_64-w64-mingw32-objdump >/dev/null; then
    runtime=$(x86_64-w64-mingw32-objdump -p "$win/bin/tarvextvp.dll" |
        grep -iE 'DLL Name: *(libstdc\+\+|libgcc|libwinpthread)' || true)
    if [[ -n $runtime ]]; then
        echo "FAIL tarvextvp.dll imports the MinGW runtime: $runtime"
        exit 1
    fi
    # every call of the header leaves the DLL, and nothing else does
    declared=$(grep -oE 'TVP_API [^(]* TVP_CALL (TVP[A-Za-z]+)' "$here/../../tvp/include/tvp.h" |
        awk '{print $NF}' | sort)
    exported=$(x86_64-w64-mingw32-objdump -p "$win/bin/tarvextvp.dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -oE '^\s*\[ *[0-9]+\] [A-Za-z_][A-Za-z0-9_]*' |
        awk '{print $NF}' | sort)
    if [[ $declared != "$exported" ]]; then
        echo "FAIL tarvextvp.dll exports $(echo $exported | wc -w) names, tvp.h declares $(echo $declared | wc -w):"
        diff <(echo "$declared") <(echo "$exported") || true
        exit 1
    fi
    echo "tarvextvp.dll exports the $(echo $declared | wc -w) calls of tvp.h"
fi

sim=
on_exit() {
    [[ -n $sim ]] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
}
wine_prefix netscry-wine
wine_boot

lan=$here/../../devsim/sample-lan.json
store=$work/store
# start_sim LOG [FAULT OPTION...]: the sample LAN, keeping received images in $store
start_sim() {
    local log=$1
    shift
    rm -rf "$store" && mkdir -p "$store"
    "$linux/bin/tvp-devsim" --json "$lan" --store "$store" --quiet "$@" >"$log" 2>&1 &
    sim=$!
    for _ in $(seq 100); do
        grep -q READY "$log" && break
        sleep 0.05
    done
    grep -q READY "$log" || { echo "the simulator did not start:"; cat "$log"; exit 1; }
}
stop_sim() {
    kill "$sim"
    wait "$sim" 2>/dev/null || true # killed: a non-zero status is expected
    sim=
}
start_sim "$work/devsim.log"

# every simulated device, as the smoke test takes them:
# MAC=ADDRESS[,noprobe][,upgrade=BEHAVIOUR]
mapfile -t devices < <(python3 - "$lan" <<'PY'
import json, sys
for d in json.load(open(sys.argv[1]))["devices"]:
    print(d["mac"] + "=" + d["ip"] + ("" if d.get("answersProbes", True) else ",noprobe") +
          (",upgrade=" + d["upgrade"] if "upgrade" in d else ""))
PY
)

cd "$win/bin"
# Wine shows the root of the Linux file system as drive Z:
winstore="Z:${store//\//\\}"
timeout 120 "$wine" tvp_smoke.exe "--store=$winstore" "${devices[@]}"

# the uploads again over a link that loses a tenth of the packets and
# delivers every answer twice
stop_sim
start_sim "$work/devsim-lossy.log" --loss 0.1 --duplicate --seed 7
echo "upgrades again, a tenth of the packets lost, every answer twice:"
timeout 120 "$wine" tvp_smoke.exe --upgrades-only "--store=$winstore" "${devices[@]}"

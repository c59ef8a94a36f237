#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and starts Netscry against simulated
# devices on loopback (the sample LAN). Extra arguments go to netscry,
# e.g. scripts/demo.sh -d for the diagnostic log.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target netscry tvp-devsim

log=$(mktemp)
build/bin/tvp-devsim --port 0 --tftp-port 0 --json devsim/sample-lan.json >"$log" 2>&1 &
devsim=$!
trap 'kill $devsim 2>/dev/null; rm -f "$log"' EXIT

for _ in $(seq 100); do
    grep -q '^READY' "$log" && break
    kill -0 $devsim 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.1
done
ready=$(grep -m1 '^READY' "$log") || { echo "the simulator did not start" >&2; cat "$log" >&2; exit 1; }
port=$(sed -n 's/.*port=\([0-9]*\).*/\1/p' <<<"${ready%% tftp-port=*}")
tftp_port=$(sed -n 's/.*tftp-port=\([0-9]*\).*/\1/p' <<<"$ready")
echo "simulated devices on loopback: protocol port $port, TFTP port $tftp_port"

# The device library talks to the simulator on loopback only.
TVP_INTERFACES=lo TVP_PORT=$port TVP_TFTP_PORT=$tftp_port build/bin/netscry "$@"

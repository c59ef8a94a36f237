#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Wireshark dissector decodes what really goes over the wire: a scan and
# a GetIP/SetIP exchange between the library and the simulator, captured on
# loopback inside the test's network namespace, must decode field by field
# to the simulated devices' data without a single complaint; answers the
# simulator corrupts on purpose must all be flagged; and hand-made messages
# of each malformed kind must be flagged with the right reason.
#
# usage: test_dissector.sh SOURCE_DIR TVP_CONSUMER TVP_DEVSIM
set -uo pipefail
source=$1
consumer=$2
devsim=$3
script=$source/tools/wireshark/tvp.lua
sample=$source/devsim/sample-lan.json

if ! command -v tshark >/dev/null || ! command -v dumpcap >/dev/null; then
    echo "SKIP: tshark and dumpcap are not installed (package tshark)"
    exit 77
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

decode() { # pcap, extra tshark options..., then -e fields
    local pcap=$1
    shift
    tshark -r "$pcap" -X lua_script:"$script" -T fields -E separator='|' -E occurrence=a \
        -E aggregator=';' "$@" 2>"$work/tshark.err"
    grep -v 'Running as user' "$work/tshark.err" >&2 || true
}

# 1. Hand-made messages: each malformed kind is named; good ones pass clean.
python3 "$source/tests/packaging/craft_tvp_pcap.py" "$work/crafted.pcap" "$work/crafted.tsv" ||
    { echo "FAIL: could not write the crafted capture"; exit 1; }
decode "$work/crafted.pcap" -e frame.number -e tvp.malformed -e _ws.expert.severity >"$work/crafted.out"
[ "$(wc -l <"$work/crafted.out")" -eq "$(wc -l <"$work/crafted.tsv")" ] ||
    fail "tshark decoded $(wc -l <"$work/crafted.out") of $(wc -l <"$work/crafted.tsv") crafted frames"
while IFS=$'\t' read -r number what expected; do
    line=$(grep "^$number|" "$work/crafted.out")
    got=$(cut -d'|' -f2 <<<"$line")
    if [ "$expected" = - ]; then
        [ -z "$got" ] || fail "frame $number ($what) flagged malformed: $got"
        severities=$(cut -d'|' -f3 <<<"$line")
        [ -z "$severities" ] || fail "frame $number ($what) has expert info ($severities)"
    else
        case ";$got;" in
            *";$expected;"*) ;;
            *) fail "frame $number ($what): expected '$expected', got '${got:-nothing}'" ;;
        esac
    fi
done <"$work/crafted.tsv"

# Field values of the well-formed hand-made frames.
decode "$work/crafted.pcap" -Y 'frame.number <= 5' -e tvp.opcode -e tvp.txid -e tvp.device_mac \
    -e tvp.name -e tvp.type -e tvp.address -e tvp.mask -e tvp.gateway -e tvp.dhcp -e tvp.status \
    >"$work/crafted-fields.out"
expected_fields='0x01|0x11111111|00:00:00:00:00:00|||||||
0x81|0x11111111|00:1a:2b:00:00:01|Boiler Room|I/O Gateway|192.168.1.20||||
0x82|0x22222222|00:1a:2b:00:00:01|||192.168.1.20|255.255.255.0|192.168.1.1|0|
0x03|0x33333333|00:1a:2b:00:00:01|||192.168.1.20|255.255.255.0|192.168.1.1|1|
0x83|0x33333333|00:1a:2b:00:00:01|||192.168.1.20||||1'
diff <(printf '%s\n' "$expected_fields") "$work/crafted-fields.out" >"$work/diff" ||
    { cat "$work/diff"; fail "decoded fields of the hand-made messages differ"; }

# 2. Live traffic: needs the namespace, where loopback is the test's own.
if [ "${NETSCRY_NETNS:-0}" != 1 ]; then
    echo "SKIP (live part): not inside the test's own network namespace (NETSCRY_NETNS=1)"
    [ $failures -eq 0 ] || exit 1
    exit 77
fi

start_devsim() { # log file, extra options...
    local log=$1
    shift
    "$devsim" --port 0 --tftp-port 0 --quiet --json "$sample" "$@" >"$log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        port=$(sed -n 's/^READY port=\([0-9]*\).*/\1/p' "$log")
        [ -n "$port" ] && return 0
        sleep 0.05
    done
    cat "$log"
    return 1
}

start_capture() { # pcap file, port
    dumpcap -q -i lo -f "udp port $2" -w "$1" >"$1.log" 2>&1 &
    capture_pid=$!
    pids+=($capture_pid)
    for _ in $(seq 100); do
        grep -q 'Capturing on' "$1.log" && { sleep 0.3; return 0; }
        kill -0 $capture_pid 2>/dev/null || break
        sleep 0.05
    done
    cat "$1.log"
    return 1
}

stop_capture() {
    sleep 0.3 # the last answers
    kill -INT "$capture_pid" 2>/dev/null
    wait "$capture_pid" 2>/dev/null
}

start_devsim "$work/devsim.log" || { echo "FAIL: tvp-devsim did not start"; exit 1; }
start_capture "$work/live.pcapng" "$port" || { echo "FAIL: dumpcap did not start"; exit 1; }
TVP_INTERFACES=lo TVP_PORT=$port timeout 20 "$consumer" 00:1A:2B:00:00:01 >"$work/consumer.out" 2>&1 ||
    fail "the scan and GetIP/SetIP exchange failed: $(cat "$work/consumer.out")"
stop_capture

decode "$work/live.pcapng" -d "udp.port==$port,tvp" -e frame.number -e tvp.opcode -e tvp.txid \
    -e tvp.device_mac -e tvp.name -e tvp.type -e tvp.address -e tvp.mask -e tvp.gateway \
    -e tvp.dhcp -e tvp.status -e udp.length -e _ws.expert.message >"$work/live.out"

python3 - "$work/live.out" "$sample" "$work/consumer.out" <<'PY' || fail "the decoded live capture does not match"
import json, sys

rows = [line.rstrip("\n").split("|") for line in open(sys.argv[1]) if line.strip()]
devices = json.load(open(sys.argv[2]))["devices"]
consumer = open(sys.argv[3]).read().splitlines()
bad = []
frames = []
for r in rows:
    (number, opcode, txid, mac, name, type_, address, mask, gateway, dhcp, status,
     udp_length, experts) = r
    frames.append(dict(number=number, opcode=opcode, txid=txid, mac=mac, name=name, type=type_,
                       address=address, mask=mask, gateway=gateway, dhcp=dhcp, status=status,
                       length=int(udp_length) - 8))
    if experts:
        bad.append(f"frame {number} ({opcode}) flagged: {experts}")

def having(opcode):
    return [f for f in frames if f["opcode"] == opcode]

discovers = having("0x01")
if not discovers:
    bad.append("no Discover request decoded")
for f in discovers:
    if f["mac"] != "00:00:00:00:00:00" or f["length"] < 256:
        bad.append(f"Discover frame {f['number']}: ID {f['mac']}, {f['length']} bytes")
discover_txids = {f["txid"] for f in discovers}
answers = having("0x81")
for f in answers:
    if f["txid"] not in discover_txids:
        bad.append(f"Discover answer frame {f['number']} has txid {f['txid']} of no request")
decoded = {(f["mac"], f["name"], f["type"], f["address"]) for f in answers}
for d in devices:
    want = (d["mac"].lower(), d["name"], d["type"], d["ip"])
    if want not in decoded:
        bad.append(f"no Discover answer decoded as {want}")
    if f'found {d["mac"]} {d["ip"]} "{d["name"]}" "{d["type"]}"' not in consumer:
        bad.append(f"the library did not report {d['name']}")

first = next(d for d in devices if d["mac"] == "00:1A:2B:00:00:01")
mac = first["mac"].lower()
settings = (first["ip"], first["mask"], first["gateway"], "1" if first["dhcp"] else "0")

def exchange(request, answer):
    reqs = [f for f in having(request) if f["mac"] == mac]
    if not reqs:
        bad.append(f"no {request} request for {mac} decoded")
        return []
    txids = {f["txid"] for f in reqs}
    answers = [f for f in having(answer) if f["mac"] == mac and f["txid"] in txids]
    if not answers:
        bad.append(f"no {answer} answer for {mac} with the request's txid decoded")
    return [(reqs, answers)]

for reqs, answers in exchange("0x02", "0x82"):
    for f in answers:
        if (f["address"], f["mask"], f["gateway"], f["dhcp"]) != settings:
            bad.append(f"GetIP answer frame {f['number']} decoded as "
                       f"{(f['address'], f['mask'], f['gateway'], f['dhcp'])}, not {settings}")
for reqs, answers in exchange("0x03", "0x83"):
    for f in reqs:
        if (f["address"], f["mask"], f["gateway"], f["dhcp"]) != settings:
            bad.append(f"SetIP frame {f['number']} decoded as "
                       f"{(f['address'], f['mask'], f['gateway'], f['dhcp'])}, not {settings}")
    for f in answers:
        if (f["status"], f["address"]) != ("0", first["ip"]):
            bad.append(f"SetIP answer frame {f['number']}: status {f['status']}, address {f['address']}")

for line in bad:
    print("  " + line)
sys.exit(1 if bad else 0)
PY

# 3. Every answer the simulator corrupts is flagged.
start_devsim "$work/devsim-bad.log" --malformed 1 || { echo "FAIL: tvp-devsim did not start"; exit 1; }
start_capture "$work/bad.pcapng" "$port" || { echo "FAIL: dumpcap did not start"; exit 1; }
# The library drops every corrupted answer, so the scan finds nothing.
TVP_INTERFACES=lo TVP_PORT=$port timeout 20 "$consumer" >"$work/consumer-bad.out" 2>&1
stop_capture
decode "$work/bad.pcapng" -d "udp.port==$port,tvp" -Y "udp.srcport==$port" \
    -e frame.number -e tvp.malformed -e _ws.expert.message >"$work/bad.out"
[ -s "$work/bad.out" ] || fail "no corrupted answer was captured"
while IFS='|' read -r number malformed experts; do
    [ -n "$malformed$experts" ] || fail "corrupted answer frame $number is not flagged"
done <"$work/bad.out"
flagged=$(cut -d'|' -f2 "$work/bad.out" | grep -c .)
[ "$flagged" -gt 0 ] || fail "none of the corrupted answers is flagged malformed"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "dissector checked: $(wc -l <"$work/live.out") live frames, $(wc -l <"$work/bad.out") corrupted, $(wc -l <"$work/crafted.tsv") hand-made"

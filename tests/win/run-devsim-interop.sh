#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows simulator under Wine, driven by the Linux netscry-cli over
# loopback: discover, get, set and upgrade, each checked against what the
# simulator holds. Only inside a network namespace of its own
# (NETSCRY_NETNS=1, as scripts/test.sh runs it).
#   tests/win/run-devsim-interop.sh BUILD_WIN_DIR LINUX_BUILD_DIR
set -euo pipefail

win=${1:?windows build directory}
linux=${2:?linux build directory}
here=$(cd "$(dirname "$0")" && pwd)
lan=$here/../../devsim/sample-lan.json

. "$here/wine-common.sh"
need_wine "devsim interop test"
if [[ ! -f $win/bin/tvp-devsim.exe ]]; then
    echo "devsim interop test skipped: no Windows build of tvp-devsim in $win/bin"
    exit 0
fi
need_netns "devsim interop test"
cli=$linux/bin/netscry-cli
[[ -x $cli ]] || { echo "FAIL no Linux netscry-cli at $cli"; exit 1; }

sim=
on_exit() {
    if [[ -n $sim ]]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
}
wine_prefix netscry-wine-devsim
wine_boot

# Wine's drive Z: is the root of the Linux file system
store=$work/store
mkdir -p "$store"
winstore="Z:${store//\//\\}"
(cd "$win/bin" && exec "$wine" tvp-devsim.exe --json "Z:${lan//\//\\}" --port 0 --tftp-port 0 \
    --store "$winstore") >"$work/devsim.log" 2>&1 &
sim=$!
for _ in $(seq 300); do
    grep -q '^READY' "$work/devsim.log" && break
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.1
done
ready=$(grep -m1 '^READY' "$work/devsim.log" || true)
if [[ -z $ready ]]; then
    echo "FAIL the Windows simulator did not start:"
    cat "$work/devsim.log"
    exit 1
fi
[[ $ready =~ port=([0-9]+)\ tftp-port=([0-9]+) ]] || { echo "FAIL bad READY line: $ready"; exit 1; }
export TVP_INTERFACES=lo TVP_PORT=${BASH_REMATCH[1]} TVP_TFTP_PORT=${BASH_REMATCH[2]}
echo "Windows simulator: $(grep -m1 ' devices on ' "$work/devsim.log" | sed 's/^\[[^]]*\] //')"

run() { # run NAME ARGS...: the CLI's stdout in $work/NAME.out, its exit code echoed
    local name=$1
    shift
    local rc=0
    timeout 60 "$cli" "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
    echo "$rc"
}

# discover: every device of the sample LAN, each once, with its fields.
# Wine sends every datagram from the address the routes choose, whatever
# IP_PKTINFO asks, so a probe's answer comes from 127.0.0.1 rather than the
# probed device, and the client rightly counts it as no answer. Only a
# device on 127.0.0.1 itself can be reachable under Wine (checked below);
# one that answers no probe, or lies on a foreign subnet, never is.
discover() { # discover NAME REACHABLE-MAC...: the devices found checked against the sample LAN
    local name=$1 rc problems
    shift
    rc=$(run "$name" discover --json --timeout 2)
    if [[ $rc != 0 ]]; then
        fail "$name exited $rc: $(cat "$work/$name.err")"
        return
    fi
    if problems=$(python3 - "$lan" "$work/$name.out" "$@" <<'PY'
import json, sys
lan = {d["mac"]: d for d in json.load(open(sys.argv[1]))["devices"]}
found = json.load(open(sys.argv[2]))
# the second discovery follows the settings changed meanwhile
moved = {"00:1A:2B:00:00:01": "127.0.0.1", "00:1A:2B:00:00:03": "127.0.0.63"} if sys.argv[3:] else {}
problems = []
ids = [d.get("id") for d in found]
if sorted(ids) != sorted(lan):
    problems.append("devices found: %s, expected %s" % (sorted(ids), sorted(lan)))
for d in found:
    want = lan.get(d.get("id"))
    if not want:
        continue
    ip = moved.get(want["mac"], want["ip"])
    for key, expected in (("name", want["name"]), ("type", want["type"]), ("ip", ip),
                          ("interface", "lo (127.0.0.1)")):
        if d.get(key) != expected:
            problems.append("%s: %s is %r, expected %r" % (want["mac"], key, d.get(key), expected))
    if not isinstance(d.get("reachable"), bool):
        problems.append("%s: reachable is not a boolean" % want["mac"])
    silent = not want.get("answersProbes", True) or not ip.startswith("127.")
    if silent and d.get("reachable"):
        problems.append("%s: reachable, yet it answers no probe there" % want["mac"])
    if want["mac"] in sys.argv[3:] and d.get("reachable") is not True:
        problems.append("%s: at %s, yet not reachable" % (want["mac"], ip))
print("\n".join(problems))
PY
) && [[ -z $problems ]]; then
        pass "$name: $(python3 -c 'import json,sys; l=json.load(open(sys.argv[1])); print(len(l), "devices,", sum(d["reachable"] for d in l), "reachable")' "$work/$name.out"), fields right"
    else
        fail "$name: ${problems:-output not JSON}"
        cat "$work/$name.out"
    fi
}
discover discover

# get: the settings the sample LAN gives two devices, one static, one DHCP
field() { python3 -c 'import json,sys; v=json.load(open(sys.argv[1])).get(sys.argv[2]); print("null" if v is None else str(v).lower() if isinstance(v,bool) else v)' "$@"; }
expect_get() { # expect_get ID IP MASK GATEWAY DHCP
    local rc
    rc=$(run get get "$1" --json)
    if [[ $rc != 0 ]]; then
        fail "get $1 exited $rc: $(cat "$work/get.err")"
        return
    fi
    local got
    got="$(field "$work/get.out" ip) $(field "$work/get.out" mask) $(field "$work/get.out" gateway) $(field "$work/get.out" dhcp)"
    if [[ $got == "$2 $3 $4 $5" ]]; then
        pass "get $1: $got"
    else
        fail "get $1: $got, expected $2 $3 $4 $5"
    fi
}
expect_get 00:1A:2B:00:00:01 127.0.0.11 255.0.0.0 127.0.0.1 false
expect_get 00:1A:2B:00:00:02 127.0.0.12 255.0.0.0 null true

# set: the device takes new settings, a get shows them, the simulator logs them
rc=$(run set set 00:1A:2B:00:00:03 --ip 127.0.0.63 --mask 255.255.0.0 --gateway 127.0.0.1 --json)
if [[ $rc == 0 && $(field "$work/set.out" ip) == 127.0.0.63 ]]; then
    pass "set 00:1A:2B:00:00:03 acknowledged 127.0.0.63"
else
    fail "set exited $rc: $(cat "$work/set.out" "$work/set.err")"
fi
expect_get 00:1A:2B:00:00:03 127.0.0.63 255.255.0.0 127.0.0.1 false
grep -q 'setip .* for Packing PLC Bridge: now 127.0.0.63/16' "$work/devsim.log" ||
    fail "the simulator did not log the new settings"
rc=$(run set-dhcp set 00:1A:2B:00:00:03 --dhcp --json)
[[ $rc == 0 ]] || fail "set --dhcp exited $rc: $(cat "$work/set-dhcp.err")"
expect_get 00:1A:2B:00:00:03 127.0.0.63 255.255.0.0 127.0.0.1 true

# Wine also binds a UDP socket asked for 127.0.0.11 to the wildcard, so a
# transfer's answers would leave from 127.0.0.1 and the client rightly takes
# them for a stranger's: the device moves to 127.0.0.1, the one loopback
# address Wine binds as asked, before it is probed and upgraded.
rc=$(run move set 00:1A:2B:00:00:01 --ip 127.0.0.1 --mask 255.0.0.0 --gateway 127.0.0.1 --json)
[[ $rc == 0 ]] || fail "set 00:1A:2B:00:00:01 to 127.0.0.1 exited $rc: $(cat "$work/move.err")"
expect_get 00:1A:2B:00:00:01 127.0.0.1 255.0.0.0 127.0.0.1 false
discover rediscover 00:1A:2B:00:00:01

# upgrade: every byte value, CR LF and Ctrl-Z among them, in an image of
# many blocks that ends in a part block; stored exactly as sent
image=$work/firmware.bin
python3 - "$image" <<'PY'
import random, sys
rnd = random.Random(14)
data = bytes(range(256)) * 4 + b"\r\n\x1a\r\r\n\n\x00" + bytes(rnd.randrange(256) for _ in range(300000))
open(sys.argv[1], "wb").write(data + b"\x1a")
PY
rc=$(run upgrade upgrade "$image" 127.0.0.1 --json --timeout 2)
if [[ $rc == 0 ]] && problems=$(python3 - "$work/upgrade.out" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))
ok = len(results) == 1 and results[0].get("ok") is True and results[0].get("attempts") == 1
print("" if ok else "not upgraded: %s" % results)
PY
) && [[ -z $problems ]]; then
    pass "upgrade of 127.0.0.1 (Boiler Room Gateway) acknowledged"
else
    fail "upgrade exited $rc: ${problems:-} $(cat "$work/upgrade.out" "$work/upgrade.err")"
fi
mapfile -t stored < <(find "$store/127.0.0.1" -type f 2>/dev/null)
if [[ ${#stored[@]} != 1 ]]; then
    fail "the simulator stored ${#stored[@]} files for 127.0.0.1, expected 1: ${stored[*]}"
elif ! cmp -s "$image" "${stored[0]}"; then
    fail "the stored image differs from the sent one: $(cmp "$image" "${stored[0]}" 2>&1 | head -1)"
else
    pass "the stored image equals the $(stat -c %s "$image") bytes sent"
fi
sum=$(sha256sum "$image" | cut -d' ' -f1)
grep -q "tftp: 127.0.0.1 received .* sha256 $sum" "$work/devsim.log" || fail "the simulator logged another SHA-256 than $sum"

if ((failed)); then
    echo "--- Windows simulator log"
    cat "$work/devsim.log"
    echo "devsim interop: $failed failures"
    exit 1
fi
echo "devsim interop: all passed"

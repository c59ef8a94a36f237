#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the Debian packages that `cpack -G DEB` made in BUILD_DIR/packages:
# lintian reports no error, the desktop entry and the AppStream metainfo
# validate, and the programs run from the packages unpacked into a scratch
# folder: every library they need resolves, and netscry-cli finds the
# simulator's devices on loopback (with the simulator from the packages too).
#
# usage: scripts/check-package.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
packages=$build/packages

shopt -s nullglob
debs=("$packages"/*.deb)
if [ ${#debs[@]} -eq 0 ]; then
    echo "check-package: no .deb in $packages (run cpack -G DEB in $build first)" >&2
    exit 1
fi

work=$(mktemp -d)
devsim_pid=
cleanup() {
    [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

status=0
fail() {
    echo "check-package: FAIL: $*" >&2
    status=1
}

for deb in "${debs[@]}"; do
    echo "== $(basename "$deb")"
    dpkg-deb -f "$deb" Depends Recommends Suggests | sed 's/^/   /'
done

# lintian: errors fail, warnings are listed.
if command -v lintian >/dev/null; then
    lintian --fail-on error --tag-display-limit 0 "${debs[@]}" >"$work/lintian.log" 2>&1 ||
        fail "lintian reports errors"
    grep -v 'running with root privileges' "$work/lintian.log" | sed 's/^/lintian: /'
else
    fail "lintian is not installed"
fi

root=$work/root
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root" || fail "cannot unpack $(basename "$deb")"
done

desktop=("$root"/usr/share/applications/*.desktop)
metainfo=("$root"/usr/share/metainfo/*.xml)
[ ${#desktop[@]} -eq 1 ] || fail "expected one desktop entry, found ${#desktop[@]}"
[ ${#metainfo[@]} -eq 1 ] || fail "expected one metainfo file, found ${#metainfo[@]}"
for f in "${desktop[@]}"; do
    desktop-file-validate "$f" || fail "desktop-file-validate $(basename "$f")"
done
for f in "${metainfo[@]}"; do
    # --no-net: the screenshot links are not fetched.
    appstreamcli validate --no-net "$f" || fail "appstreamcli validate $(basename "$f")"
done

libdir=$(dirname "$(find "$root" -name 'libtarvextvp.so.*' -type f | head -n 1)")
export LD_LIBRARY_PATH=$libdir
for exe in "$root"/usr/bin/*; do
    missing=$(ldd "$exe" 2>&1 | grep 'not found')
    [ -z "$missing" ] || fail "$(basename "$exe") from the package: $missing"
done

bin=$root/usr/bin
"$bin/tvp-devsim" --help >/dev/null || fail "the unpacked tvp-devsim --help failed"
[ -x "$bin/netscry-cli" ] || fail "netscry-cli is missing from the package"
{
    "$bin/netscry-cli" --version || fail "the unpacked netscry-cli --version failed"
    # A discovery of the sample LAN, both programs from the packages, on loopback.
    sample=$root/usr/share/netscry/sample-lan.json
    "$bin/tvp-devsim" --port 0 --tftp-port 0 --quiet --json "$sample" >"$work/devsim.out" 2>&1 &
    devsim_pid=$!
    port=
    for _ in $(seq 100); do
        port=$(sed -n 's/^READY port=\([0-9]*\).*/\1/p' "$work/devsim.out")
        [ -n "$port" ] && break
        sleep 0.05
    done
    if [ -z "$port" ]; then
        fail "the unpacked tvp-devsim did not start: $(cat "$work/devsim.out")"
    else
        TVP_INTERFACES=lo TVP_PORT=$port timeout 30 "$bin/netscry-cli" discover --json \
            >"$work/discover.json" || fail "the unpacked netscry-cli discover failed"
        python3 - "$work/discover.json" "$sample" <<'PY' || fail "netscry-cli did not list the sample LAN"
import json, sys
found = {(d["id"].upper(), d["name"], d["ip"]) for d in json.load(open(sys.argv[1]))}
want = {(d["mac"].upper(), d["name"], d["ip"]) for d in json.load(open(sys.argv[2]))["devices"]}
missing = want - found
for m in sorted(missing):
    print("  not listed:", m)
print(f"netscry-cli from the package listed {len(found)} devices")
sys.exit(1 if missing else 0)
PY
    fi
}

[ $status -eq 0 ] && echo "check-package: packages checked"
exit $status

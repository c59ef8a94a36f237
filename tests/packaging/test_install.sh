#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the built tree into a scratch prefix and checks it as a user of
# the library and a packager would: the versioned library exports only the
# TVP names, nothing installed points back into the build tree, the desktop
# data validates, and a separate program builds on the installed library
# through find_package and through pkg-config, then finds the simulator's
# devices on loopback.
#
# usage: test_install.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1
source=$2

work=$(mktemp -d)
devsim_pid=
cleanup() {
    [ -n "$devsim_pid" ] && kill "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

prefix=$work/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install (is the whole tree built?)"
    exit 1
fi

# The library folder follows GNUInstallDirs: lib or lib/<multiarch>.
lib=$(find "$prefix" -name 'libtarvextvp.so.*.*' -type f | head -n 1)
[ -n "$lib" ] || { echo "FAIL: no versioned libtarvextvp.so installed"; exit 1; }
libdir=$(dirname "$lib")

# The library: SONAME with the major number, a development link, only TVP names.
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
case "$soname" in
    libtarvextvp.so.[0-9]*) ;;
    *) fail "SONAME is '$soname', not libtarvextvp.so.<major>" ;;
esac
[ "$(readlink -f "$libdir/$soname")" = "$(readlink -f "$lib")" ] ||
    fail "$soname does not lead to $(basename "$lib")"
[ -L "$libdir/libtarvextvp.so" ] && [ "$(readlink -f "$libdir/libtarvextvp.so")" = "$(readlink -f "$lib")" ] ||
    fail "no development link libtarvextvp.so to the library"
exported=$(nm -D --defined-only "$lib" | awk '{print $NF}')
[ -n "$exported" ] || fail "the library exports nothing"
others=$(printf '%s\n' "$exported" | grep -v '^TVP' || true)
[ -z "$others" ] || fail "names exported beside the TVP ones: $(echo $others | cut -c1-300)"
for name in TVPDiscover TVPGetIP TVPSetIP TVPGetIPAt TVPSetIPAt TVPSetApplicationCallback TVPUpgradeDevice; do
    printf '%s\n' "$exported" | grep -qx "$name" || fail "$name is not exported"
done

# Nothing installed points into the build tree: no RPATH/RUNPATH in any ELF
# file, no build path in any text file.
while IFS= read -r -d '' f; do
    if head -c 4 "$f" | grep -q 'ELF'; then
        if readelf -d "$f" 2>/dev/null | grep -qE '\((RPATH|RUNPATH)\)'; then
            fail "$(realpath --relative-to="$prefix" "$f") has $(readelf -d "$f" | grep -E 'R(UN)?PATH' | sed 's/.*: //')"
        fi
    elif grep -qF "$(realpath "$build")" "$f" 2>/dev/null; then
        fail "$(realpath --relative-to="$prefix" "$f") names the build tree"
    fi
done < <(find "$prefix" -type f -print0)

# Only programs go to bin: no tests, benchmarks or fuzzers.
for f in "$prefix"/bin/*; do
    case "$(basename "$f")" in
        netscry | netscry-cli | tvp-devsim) ;;
        *) fail "bin/$(basename "$f") is installed" ;;
    esac
done
[ -x "$prefix/bin/tvp-devsim" ] || fail "tvp-devsim is not installed"
[ -f "$prefix/include/tvp.h" ] || fail "include/tvp.h is not installed"

# Man pages: gzip -9n (no name, no time stamp), and man reads them cleanly.
for page in "$prefix"/share/man/man1/*; do
    name=$(basename "$page")
    case "$name" in *.1.gz) ;; *) fail "man page $name is not a compressed .1"; continue ;; esac
    gzip -t "$page" || fail "$name is no valid gzip file"
    # bytes 3 (flags: FNAME is 0x08) and 4-7 (time stamp) of the gzip header
    header=$(od -An -tx1 -j3 -N5 "$page" | tr -d ' \n')
    [ "$header" = 0000000000 ] || fail "$name carries a file name or a time stamp ($header)"
    if command -v man >/dev/null; then
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man warns about $name: $warnings"
    fi
done
[ -f "$prefix/share/man/man1/tvp-devsim.1.gz" ] || fail "tvp-devsim.1.gz is not installed"

# Desktop data, when the program is built.
if [ -x "$prefix/bin/netscry" ]; then
    [ -f "$prefix/share/man/man1/netscry.1.gz" ] || fail "netscry.1.gz is not installed"
    desktop=$(ls "$prefix"/share/applications/*.desktop 2>/dev/null | head -n 1)
    [ -n "$desktop" ] || fail "no desktop entry installed"
    if [ -n "$desktop" ]; then
        id=$(basename "$desktop" .desktop)
        icon=$(sed -n 's/^Icon=//p' "$desktop")
        [ "$icon" = "$id" ] || fail "the desktop entry's icon '$icon' is not named after it ($id)"
        [ "$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")" = netscry ] || fail "the desktop entry does not start netscry"
        grep -q '^Categories=.*Network;' "$desktop" || fail "the desktop entry is not in the Network category"
        if command -v desktop-file-validate >/dev/null; then
            desktop-file-validate "$desktop" || fail "desktop-file-validate"
        fi
        [ -f "$prefix/share/icons/hicolor/scalable/apps/$id.svg" ] || fail "no scalable icon $id.svg"
        # Each PNG is as large as the folder it is in says.
        pngs=0
        for png in "$prefix"/share/icons/hicolor/*x*/apps/"$id".png; do
            [ -f "$png" ] || continue
            pngs=$((pngs + 1))
            size=$(basename "$(dirname "$(dirname "$png")")")
            got=$(python3 -c 'import struct,sys
d=open(sys.argv[1],"rb").read(24)
assert d[:8]==b"\x89PNG\r\n\x1a\n" and d[12:16]==b"IHDR"
print("%dx%d" % struct.unpack(">II", d[16:24]))' "$png" 2>/dev/null)
            [ "$got" = "$size" ] || fail "icon $size/apps/$id.png is '${got:-no PNG}'"
        done
        [ $pngs -ge 4 ] || fail "only $pngs PNG sizes of the icon"
        metainfo=$prefix/share/metainfo/$id.metainfo.xml
        if [ -f "$metainfo" ]; then
            grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
                fail "the metainfo does not launch $id.desktop"
            grep -q '<release version=' "$metainfo" || fail "the metainfo has no release"
            grep -q '<screenshot' "$metainfo" || fail "the metainfo has no screenshot"
            if command -v appstreamcli >/dev/null; then
                appstreamcli validate --no-net "$metainfo" >"$work/as.log" 2>&1 ||
                    { cat "$work/as.log"; fail "appstreamcli validate"; }
            fi
        else
            fail "no metainfo $id.metainfo.xml"
        fi
    fi
fi

# Another program builds on the installed library.
consumer_src=$source/tests/packaging/consumer
if ! cmake -S "$consumer_src" -B "$work/consumer-cmake" -G Ninja \
        -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" 2>&1 ||
   ! cmake --build "$work/consumer-cmake" >>"$work/consumer.log" 2>&1; then
    cat "$work/consumer.log"
    fail "the consumer project does not build with find_package(tarvextvp)"
fi
grep -qE -- "(-I|-isystem )$(realpath "$source")/tvp" "$work/consumer-cmake/build.ninja" 2>/dev/null &&
    fail "the consumer built against the source tree's header"

pcdir=$(dirname "$(find "$prefix" -name tarvextvp.pc | head -n 1)")
if [ "$pcdir" = . ]; then
    fail "no tarvextvp.pc installed"
else
    flags=$(PKG_CONFIG_PATH=$pcdir PKG_CONFIG_LIBDIR=$pcdir pkg-config --cflags --libs tarvextvp)
    # The file is relocatable (paths from its own folder): resolve them.
    incflag=$(printf '%s\n' $flags | sed -n 's/^-I//p')
    libflag=$(printf '%s\n' $flags | sed -n 's/^-L//p')
    [ -n "$incflag" ] && [ "$(realpath "$incflag")" = "$(realpath "$prefix/include")" ] ||
        fail "pkg-config's include folder '$incflag' is not the installed one"
    [ -n "$libflag" ] && [ "$(realpath "$libflag")" = "$(realpath "$libdir")" ] ||
        fail "pkg-config's library folder '$libflag' is not the installed one"
    printf '%s\n' $flags | grep -qx -- -ltarvextvp || fail "pkg-config does not link -ltarvextvp"
    # shellcheck disable=SC2086
    cc -std=gnu99 -Wall -Werror -o "$work/consumer-pc" "$consumer_src/tvp_consumer.c" $flags ||
        fail "the consumer does not build with pkg-config"
fi

# Both builds run against the installed library and find the simulator's
# devices on loopback. The installed simulator plays the installed sample
# LAN by default (renamed here, to tell it from the source tree's).
sample=$prefix/share/netscry/sample-lan.json
[ -f "$sample" ] || fail "the sample LAN is not installed"
sed -i 's/"Boiler Room Gateway"/"Installed Sample Gateway"/' "$sample"
"$prefix/bin/tvp-devsim" --port 0 --tftp-port 0 --quiet >"$work/devsim.out" 2>&1 &
devsim_pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^READY port=\([0-9]*\).*/\1/p' "$work/devsim.out")
    [ -n "$port" ] && break
    sleep 0.05
done
if [ -z "$port" ]; then
    cat "$work/devsim.out"
    fail "the installed tvp-devsim did not start"
else
    for exe in "$work/consumer-cmake/tvp_consumer" "$work/consumer-pc"; do
        [ -x "$exe" ] || continue
        linked=$(LD_LIBRARY_PATH=$libdir ldd "$exe" | sed -n 's/.*libtarvextvp.so[^ ]* => \([^ ]*\).*/\1/p')
        [ "$(readlink -f "$linked")" = "$(readlink -f "$lib")" ] ||
            fail "$(basename "$exe") loads '$linked', not the installed library"
        out=$(LD_LIBRARY_PATH=$libdir TVP_INTERFACES=lo TVP_PORT=$port timeout 20 "$exe" 00:1A:2B:00:00:01)
        rc=$?
        [ $rc -eq 0 ] || fail "$(basename "$exe") exited with $rc: $out"
        grep -q '^found 00:1A:2B:00:00:01 127.0.0.11 "Installed Sample Gateway" "I/O Gateway"$' <<<"$out" ||
            fail "$(basename "$exe") did not find the installed sample LAN's first device: $out"
        grep -q '^getip 00:1A:2B:00:00:01 127.0.0.11 255.0.0.0 127.0.0.1 0$' <<<"$out" ||
            fail "$(basename "$exe") read wrong settings: $out"
        grep -q '^setip 00:1A:2B:00:00:01 127.0.0.11$' <<<"$out" ||
            fail "$(basename "$exe") got no SetIP answer: $out"
    done
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "installed tree checked"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows deployment folder holds what its programs load and nothing
# else: every DLL that a shipped .exe or .dll imports is either in the
# folder or a DLL that every Windows has, and every DLL shipped is imported
# by something shipped or is a Qt plugin (which Qt loads by folder).
#   tests/win/run-deployment.sh BUILD_WIN_DIR
set -euo pipefail

win=${1:?windows build directory}
objdump=x86_64-w64-mingw32-objdump
command -v $objdump >/dev/null || { echo "deployment check skipped: $objdump is not installed"; exit 0; }
deploy=$(ls -d "$win"/deploy/netscry-*-win64 2>/dev/null | head -n 1 || true)
if [[ -z $deploy ]]; then
    if [[ -f $win/bin/netscry.exe ]]; then
        echo "FAIL no deployment folder in $win/deploy (cmake --build $win --target windows-deploy)"
        exit 1
    fi
    echo "deployment check skipped: the Windows build in $win has no program"
    exit 0
fi

# The DLLs of Windows itself that a Qt Widgets program and the library use.
system_dlls=" advapi32 authz bcrypt comctl32 comdlg32 crypt32 d2d1 d3d11 d3d12 d3d9 dnsapi dwmapi
    dwrite dxgi gdi32 imm32 iphlpapi kernel32 msvcrt mpr netapi32 ntdll ole32 oleaut32 setupapi
    shell32 shcore shlwapi user32 userenv uxtheme version winmm ws2_32 wtsapi32 "
system_dlls=" $(echo $system_dlls) "

status=0
shipped=$(cd "$deploy" && find . -type f \( -iname '*.exe' -o -iname '*.dll' \) | sed 's|^\./||' | sort)
imported_all=
for file in $shipped; do
    if ! headers=$($objdump -p "$deploy/$file" 2>/dev/null); then
        echo "FAIL $file is no Windows program file"
        status=1
        continue
    fi
    imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z')
    imported_all+=" $(echo $imports)"
    for dll in $imports; do
        if [[ -f $deploy/$dll ]] || ls "$deploy" | tr 'A-Z' 'a-z' | grep -qx "$dll"; then
            continue
        fi
        [[ $system_dlls == *" ${dll%.dll} "* || $dll == api-ms-win-* ]] && continue
        echo "FAIL $file needs $dll, which is neither in the folder nor part of Windows"
        status=1
    done
done
for file in $shipped; do
    case $file in
        *.exe | platforms/* | styles/*) continue ;;
    esac
    name=$(echo "$file" | tr 'A-Z' 'a-z')
    if [[ " $imported_all " != *" $name "* ]]; then
        echo "FAIL $file is shipped but nothing shipped imports it"
        status=1
    fi
done
others=$(cd "$deploy" && find . -type f ! \( -iname '*.exe' -o -iname '*.dll' \) | sed 's|^\./||')
for file in $others; do
    echo "FAIL $file is shipped but is neither a program nor a DLL"
    status=1
done
if ((status == 0)); then
    echo "ok   $(echo "$shipped" | wc -l) files in $(basename "$deploy"), each one's imports at hand"
fi
exit $status

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Gives a fresh Wine prefix the fonts a Windows desktop has, as far as free
# ones go: Wine's own symbol fonts (the window frames' buttons), which
# Debian's Wine does not find by itself, and Liberation Sans in place of the
# faces Windows draws its dialogs with (Wine's Tahoma blurs at the sizes
# the tool bar's captions take). Without them Qt's windows come out in a
# serif fallback at other widths than on Windows.
#   tests/win/wine-fonts.sh          (WINEPREFIX names the prefix)
set -euo pipefail
. "$(cd "$(dirname "$0")" && pwd)/wine-common.sh"
fonts=${WINEPREFIX:?no WINEPREFIX}/drive_c/windows/Fonts
mkdir -p "$fonts"
for font in marlett symbol webdings wingding; do
    [[ -f /usr/share/wine/fonts/$font.ttf ]] && cp /usr/share/wine/fonts/$font.ttf "$fonts"/
done
face="Liberation Sans"
if [[ -z $(fc-list "$face" 2>/dev/null) ]]; then
    echo "wine-fonts: $face is not installed (fonts-liberation2); DejaVu Sans stands in" >&2
    face="DejaVu Sans"
fi
for replaced in "Segoe UI" "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Arial"; do
    "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$replaced" /t REG_SZ /d "$face" /f \
        >/dev/null 2>&1
done
# Wine's own "MS Sans Serif" is a bitmap font, the system's default GUI
# font there; Windows draws that face with a TrueType one
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' /v "MS Sans Serif" \
    /t REG_SZ /d "$face" /f >/dev/null 2>&1

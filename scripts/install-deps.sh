#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that building and testing Netscry needs,
# when any is missing. Uses sudo when not run as root.
set -euo pipefail

packages=(
    build-essential cmake ninja-build clang libclang-rt-14-dev clang-format
    qt6-base-dev qt6-svg-dev libqt6svg6
    libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
    googletest  # its sources, built again for the Windows tests
    tftpd-hpa curl iproute2 util-linux
    xvfb xauth imagemagick x11-utils
    # packaging: the .deb, its checks, icons, man pages, the dissector's test
    dpkg-dev file lintian desktop-file-utils appstream librsvg2-bin man-db
    pkg-config python3 tshark
)

# The Windows cross build and Wine for its tests: wanted, not needed;
# without them those tests skip. wine64 alone needs no i386 architecture.
# For the Windows program: its icon (icoutils), its setup program (nsis),
# Wine's own fonts and free stand-ins for Windows' (its windows under Wine),
# and xdotool for the installer test.
optional=(g++-mingw-w64-x86-64-posix wine64 icoutils nsis fonts-wine fonts-liberation2 xdotool)

missing_of() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null; then
    sudo=(sudo)
elif [ ${#missing[@]} -eq 0 ]; then
    echo "not installed (the Windows smoke test will skip): ${missing_optional[*]}" >&2
    exit 0
else
    echo "missing packages (install them as root): ${missing[*]}" >&2
    exit 1
fi

if [ ${#missing[@]} -eq 0 ]; then
    "${sudo[@]}" apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing_optional[@]}" >/dev/null ||
        echo "could not install ${missing_optional[*]}: the Windows smoke test will skip" >&2
    exit 0
fi
echo "installing: ${missing[*]}"
# tshark asks whether non-root users may capture: no, and without asking.
echo "wireshark-common wireshark-common/install-setuid boolean false" |
    "${sudo[@]}" debconf-set-selections
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
# The tests start their own TFTP servers on loopback; the packages' system
# services would listen on every interface, so they stay off. (atftpd, a
# windowed server the tests use where it is installed, is not installed
# here: its package replaces tftpd-hpa's in.tftpd.)
for service in tftpd-hpa atftpd; do
    printf '%s\n' "${missing[@]}" | grep -qx "$service" || continue
    if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
        "${sudo[@]}" systemctl disable --now "$service" >/dev/null 2>&1 || true
    else
        "${sudo[@]}" service "$service" stop >/dev/null 2>&1 || true
        "${sudo[@]}" update-rc.d "$service" disable >/dev/null 2>&1 || true
    fi
done
if [ ${#missing_optional[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing_optional[@]}" >/dev/null ||
        echo "could not install ${missing_optional[*]}: the Windows smoke test will skip" >&2
fi

# SPDX-License-Identifier: MIT
# What every Wine script here shares, sourced by each:
#   here=$(cd "$(dirname "$0")" && pwd); . "$here/wine-common.sh"
# It finds Wine ($wine, empty when it is missing, and its $server), makes a
# throwaway prefix that goes when the script ends, and counts checks.

wine=$(command -v wine64 || true)
[[ -z $wine && -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64
server=
if [[ -n $wine ]]; then
    server=$(dirname "$wine")/wineserver
    [[ -x $server ]] || server=$(command -v wineserver || echo true)
fi

# need_wine WHAT: ends the script, a skip, when Wine is not installed
need_wine() {
    if [[ -z $wine ]]; then
        echo "$1 skipped: wine64 is not installed"
        exit 0
    fi
}

# need_netns WHAT: ends the script, a skip, outside a network namespace of
# its own (NETSCRY_NETNS=1, as scripts/test.sh runs it)
need_netns() {
    if [[ ${NETSCRY_NETNS:-} != 1 ]]; then
        echo "$1 skipped: no network namespace of its own (NETSCRY_NETNS=1)"
        exit 0
    fi
}

# wine_prefix NAME [DLL-OVERRIDES]: $work, a directory of its own with the
# prefix in it, both gone when the script exits; a script that started
# something defines on_exit to stop it first. The default overrides keep
# Wine from asking to install Mono and Gecko.
wine_prefix() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    trap wine_cleanup EXIT
    export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES=${2:-"mscoree,mshtml="}
}

wine_cleanup() {
    if declare -F on_exit >/dev/null; then
        on_exit || true
    fi
    WINEPREFIX=$work/prefix "$server" -k 2>/dev/null || true
    rm -rf "$work"
}

# wine_boot: the prefix made; its log shown when that fails
wine_boot() {
    "$wine" wineboot --init >"$work/boot.log" 2>&1 || { cat "$work/boot.log"; exit 1; }
}

# pass/fail WHAT: one check's outcome, counted in $passed and $failed
passed=0
failed=0
pass() {
    echo "ok   $*"
    passed=$((passed + 1))
}
fail() {
    echo "FAIL $*"
    failed=$((failed + 1))
}

# check WHAT COMMAND...: runs COMMAND, counts it as passed or failed, and
# shows its output when it failed (needs $work, from wine_prefix)
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@" >"$work/check.log" 2>&1; then
        pass "$what"
    else
        fail "$what"
        sed 's/^/     /' "$work/check.log"
    fi
}

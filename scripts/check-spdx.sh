#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lists the project's source files whose first lines carry no SPDX licence
# identifier; exits 1 when there is any. With --quiet it only sets the status.
set -euo pipefail
cd "$(dirname "$0")/.."

quiet=0
[ "${1:-}" = --quiet ] && quiet=1

missing=0
while IFS= read -r -d '' file; do
    # The identifier belongs in the first lines (after a shebang or an XML
    # declaration at most).
    if ! head -n 3 -- "$file" | grep -q 'SPDX-License-Identifier:'; then
        [ $quiet -eq 1 ] || printf '%s\n' "$file"
        missing=1
    fi
done < <(git ls-files -z -- \
    '*.c' '*.h' '*.cpp' '*.hpp' '*.lua' '*.py' '*.sh' '*.cmake' '*.in' '*.1' \
    'CMakeLists.txt' '*/CMakeLists.txt' '*.map' '.ci/run' \
    ':!:packaging/changelog.Debian.in' ':!:packaging/copyright.in')
exit $missing

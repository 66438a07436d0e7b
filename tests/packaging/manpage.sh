#!/usr/bin/env bash
# Lints the manual page with mandoc and checks that it documents every option
# letter of the daemon's option string.
# Usage: manpage.sh PAGE
set -euo pipefail
page=$1
command -v mandoc >/dev/null || { echo "SKIP: mandoc not installed (Debian package mandoc)"; exit 77; }

# Messages about the machine's manual index (mandoc.db), and about pages this
# machine happens not to have installed, concern no fault of the page.
lint=$(mandoc -T lint "$page" 2>&1 | grep -v -e 'mandoc\.db' -e 'referenced manual not found' || true)
if [ -n "$lint" ]; then
    echo "FAIL: mandoc -T lint:" >&2
    echo "$lint" >&2
    exit 1
fi
echo "mandoc -T lint: no messages"

optstring="rop:t:v:hsVbx:q:c:adfeD"
missing=""
for letter in $(echo "$optstring" | tr -d : | grep -o .); do
    # Each option has its own entry in the OPTIONS list: ".It Fl x".
    grep -q "^\.It Fl $letter\( \|$\)" "$page" || missing="$missing -$letter"
done
[ -z "$missing" ] || { echo "FAIL: options without an entry:$missing" >&2; exit 1; }
echo "every option of $optstring has an entry"

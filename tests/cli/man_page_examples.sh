#!/bin/sh
# The examples of the manual page are those of hq3746ctl --help, in the same order.
# Usage: man_page_examples.sh HQ3746CTL MAN-SOURCE
set -eu
help=$("$1" --help | sed -n '/^EXAMPLES$/,/^[A-Z]/p' | sed -n 's/^    //p')
man=$(sed -n '/^\.SH EXAMPLES$/,/^\.fi$/p' "$2" | sed '1,2d;$d' | sed 's/\\-/-/g')
if [ -z "$help" ] || [ "$help" != "$man" ]; then
    echo "examples differ between --help and $2:"
    printf '%s\n' "$help" > "${TMPDIR:-/tmp}/help_examples.$$"
    printf '%s\n' "$man" | diff "${TMPDIR:-/tmp}/help_examples.$$" - || true
    rm -f "${TMPDIR:-/tmp}/help_examples.$$"
    exit 1
fi
echo "$(printf '%s\n' "$help" | wc -l) examples agree"

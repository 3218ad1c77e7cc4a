#!/bin/sh
# The client archive defines nothing outside namespace atom, so a program's
# own names (a same_string, a transport) never clash with the library's.
# Only strong definitions are looked at: weak ones (inline functions, template
# instances of the standard library) are merged by the linker and never clash.
set -eu
archive=$1
outside=$(nm -C --defined-only "$archive" | awk '$2 ~ /^[TDBR]$/ { $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
    grep -v '^atom::' || true)
if [ -n "$outside" ]; then
    echo "defined outside namespace atom:"
    echo "$outside"
    exit 1
fi
echo "every symbol of $archive is in namespace atom"

#!/bin/sh
# SPDX-License-Identifier: MIT
# Fails unless every dynamic symbol that the library defines belongs to the
# class sockscope: the rest of the library stays private.
set -eu
library=$1
symbols=$(nm -D --defined-only --demangle "$library" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }')
echo "$symbols"
[ -n "$symbols" ] || { echo "no exported symbols"; exit 1; }
stray=$(printf '%s\n' "$symbols" | grep -v '^sockscope::' || true)
if [ -n "$stray" ]; then
    echo "exported beyond the class sockscope:"
    printf '%s\n' "$stray"
    exit 1
fi

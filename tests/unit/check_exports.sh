#!/bin/sh
# SPDX-License-Identifier: MIT
# Fails unless every dynamic symbol that the library defines belongs to the
# class sockscope or to the C interface (sockscope_*): the rest of the
# library stays private.
set -eu
library=$1
symbols=$(nm -D --defined-only --demangle "$library" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }')
echo "$symbols"
[ -n "$symbols" ] || { echo "no exported symbols"; exit 1; }
stray=$(printf '%s\n' "$symbols" | grep -v -e '^sockscope::' -e '^sockscope_[a-z_]*$' || true)
if [ -n "$stray" ]; then
    echo "exported beyond the class sockscope and the C interface:"
    printf '%s\n' "$stray"
    exit 1
fi

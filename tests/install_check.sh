#!/usr/bin/env bash
# `cmake --install` puts the program in bin/ and its manual page in share/man/man1/.
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" > /dev/null
[ -x "$prefix/bin/lbe" ] || { echo "FAIL: bin/lbe missing" >&2; exit 1; }
[ -s "$prefix/share/man/man1/lbe.1" ] || { echo "FAIL: share/man/man1/lbe.1 missing" >&2; exit 1; }
"$prefix/bin/lbe" --version | grep -qx "lbe [0-9]*\.[0-9]*\.[0-9]*" || { echo "FAIL: version" >&2; exit 1; }
if command -v man > /dev/null; then
  page=$(MANWIDTH=80 man -l "$prefix/share/man/man1/lbe.1" 2> /dev/null | tr -s " ")
  grep -q "lbe - line binary editor" <<< "$page" ||
    { echo "FAIL: the manual page does not render" >&2; exit 1; }
fi
echo "install: ok"

#!/usr/bin/env bash
# `cmake --install` puts the program in bin/ and its manual page in share/man/man1/.
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
cmake --install "$1" --prefix "$prefix" > /dev/null
[ -x "$prefix/bin/lbe" ] || fail "bin/lbe missing"
[ -s "$prefix/share/man/man1/lbe.1" ] || fail "share/man/man1/lbe.1 missing"
"$prefix/bin/lbe" --version | grep -qx "lbe [0-9]*\.[0-9]*\.[0-9]*" || fail "version"
if command -v man > /dev/null; then
  page=$(MANWIDTH=80 man -l "$prefix/share/man/man1/lbe.1" 2> /dev/null | tr -s " ")
  grep -q "lbe - line binary editor" <<< "$page" || fail "the manual page does not render"
fi
echo "install: ok"

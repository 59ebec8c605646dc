#!/usr/bin/env bash
# `cmake --install` puts the program in bin/, its manual page in share/man/man1/ and its bash
# completion in share/bash-completion/completions/, which offers the long options.
set -euo pipefail
work=$(mktemp -d)
prefix="$work/prefix"
# cmake --install leaves the list of what it installed in the build folder: the check puts back
# what stood there before, so that it leaves the build folder as it found it.
manifest="$1/install_manifest.txt"
[ ! -e "$manifest" ] || cp -p "$manifest" "$work/manifest"
cleanup() {
  if [ -e "$work/manifest" ]; then cp -p "$work/manifest" "$manifest"; else rm -f "$manifest"; fi
  rm -rf "$work"
}
trap cleanup EXIT
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
completion="$prefix/share/bash-completion/completions/lbe"
[ -s "$completion" ] || fail "share/bash-completion/completions/lbe missing"
# What the completion offers for a word typed after "lbe".
offers() {
  bash -c 'source "$1"; COMP_WORDS=(lbe "$2"); COMP_CWORD=1; _lbe; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$completion" "$1" 2> /dev/null | sort | tr '\n' ' '
}
[ "$(offers --l)" = "--length= --list " ] || fail "completion of --l: $(offers --l)"
[ "$(offers --of)" = "--offset= " ] || fail "completion of --of: $(offers --of)"
[ "$(offers --)" = "-- --address= --apply= --check --convert --fill= --format= --help --journals \
--length= --list --offset= --output= --record-length= --remove= --start-address= --style= --sums= \
--type-in --version " ] || fail "completion of --: $(offers --)"
[ "$(offers --format=s)" = "--format=srec " ] || fail "completion of --format=s: $(offers --format=s)"
[ "$(offers --format=p)" = "--format=prg " ] || fail "completion of --format=p: $(offers --format=p)"
[ "$(offers --style=m)" = "--style=mlx " ] || fail "completion of --style=m: $(offers --style=m)"
# Every long option --help names is offered.
for option in $("$prefix/bin/lbe" --help | grep -o -- '--[a-z]*' | sort -u); do
  offers "$option" | grep -q -- "$option" || fail "the completion does not offer $option"
done
echo "install: ok"

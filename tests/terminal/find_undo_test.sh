#!/usr/bin/env bash
# The real lbe in tmux: / finds bytes and N the next match, the prompt and its message on row 2
# with row 1 kept; U takes back a typed digit and Y makes it again, and the file saved after an
# undo holds what is shown.
source "$(dirname "$0")/tmux_lib.sh" "$1" find
# 3E 00 D3 at 0010 and at 0105, "HELLO" at 0200.
{ head -c 16 /dev/zero; printf '\x3e\x00\xd3'; head -c 242 /dev/zero; printf '\x3e\x00\xd3'
  head -c 248 /dev/zero; printf 'HELLO'; head -c 11 /dev/zero; } > rom.bin
start_shell
tm send-keys -t t "$lbe rom.bin; echo exit=\$?" Enter
expect_line 1 "Addr: 0000-020F   File: rom.bin"
tm send-keys -t t e /
expect_line 2 "Find:"
expect_line 1 "0000 0000000000000000:00 [--]"
tm send-keys -t t -l "3e 00 d3"
tm send-keys -t t Enter
expect_line 1 "0010 3E00D30000000000:11 [00]"
expect_line 2 ""
tm send-keys -t t n
expect_line 1 "0100 00000000003E00D3:11 [00]"
tm send-keys -t t n
expect_line 1 "0010 3E00D30000000000:11 [00]"
expect_line 2 "Found after going round to the start of the range."
tm send-keys -t t /
tm send-keys -t t -l '"HELLO"'
tm send-keys -t t Enter
expect_line 1 "0200 48454C4C4F000000:74 [00]"
expect_line 2 ""
# The cursor stands on the match's first byte: a typed digit lands there, U takes it back.
tm send-keys -t t 7
expect_line 1 "0200 78454C4C4F000000:A4 [00]"
tm send-keys -t t Right Right u
expect_line 1 "0200 48454C4C4F000000:74 [00]"
tm send-keys -t t y u Escape s
expect "File rom.bin has been saved."
tm send-keys -t t x q y
expect "exit=0"
[ "$(od -An -tx1 -j 512 -N 5 rom.bin | tr -d ' ')" = "48454c4c4f" ] || fail "the save after U: $(hex rom.bin)"
expect_modes_given_back "after find and undo"
echo "find and undo in a real terminal: ok"

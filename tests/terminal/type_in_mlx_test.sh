#!/usr/bin/env bash
# The real lbe in tmux with --type-in --style=mlx on a new prog.prg loading at 0801: a New MLX
# listing of three lines typed as printed, line by line, the second line's sum typed wrong (its
# digits swapped) and then right; Save writes the .prg: its load address, then the bytes.
source "$(dirname "$0")/tmux_lib.sh" "$1" typeinmlx

start_shell
tm send-keys -t t "clear; $lbe --type-in --style=mlx --address=801 prog.prg; echo exit=\$?" Enter
expect_line 1 "Addr: 0801-0808   File: prog.prg"

tm send-keys -t t e
expect_line 1 "0801 0000000000000000:__ [--]"
tm send-keys -t t 0B080A009E323330 2E
expect_line 1 "0809 0000000000000000:__ [2E]"
expect_line 2 "Checked 1 of 2 lines. Next to type: 0809.  Tab: next unchecked line"
tm send-keys -t t 30000000000044AA 46
expect_line 1 "0809 30000000000044AA:46 [2E] WRONG: the line sums to 64"
tm send-keys -t t Right Right Right Right Right Right Right Right 64
expect_line 1 "0811 0000000000000000:__ [64]"
tm send-keys -t t A9008D20D060EAEA 72
expect_line 1 "0819 0000000000000000:__ [72]"
expect_line 2 "Checked 3 of 4 lines. Next to type: 0819.  Tab: next unchecked line"
tm send-keys -t t Escape s
expect_line 1 "File prog.prg has been saved."
tm send-keys -t t x q y
expect "exit=0"
[ "$(hex prog.prg)" = "01080b080a009e32333030000000000044aaa9008d20d060eaea" ] ||
  fail "saved bytes: $(hex prog.prg)"
echo "PASS"

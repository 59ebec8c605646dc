#!/usr/bin/env bash
# The real lbe in tmux with --type-in: two lines typed with their printed sums, the second sum
# wrong (the bell, the mark); Save, Quit past the question about failed lines; a new run of lbe
# on the same file finds the typed sums in the state folder and counts the checked line again.
source "$(dirname "$0")/tmux_lib.sh" "$1" typein

start_shell
tm send-keys -t t "clear; $lbe --type-in /A100 listing.bin; echo exit=\$?" Enter
expect_line 1 "Addr: 0100-0107   File: listing.bin"

tm send-keys -t t e
expect_line 1 "0100 0000000000000000:__ [--]"
tm send-keys -t t 0102030405060708 24
expect_line 1 "0108 0000000000000000:__ [24]"
expect_line 2 "Checked 1 of 2 lines. Next to type: 0108.  Tab: next unchecked line"
tm send-keys -t t 1111111111111111 89
expect_line 1 "0108 1111111111111111:89 [24] WRONG: the line sums to 88"
expect_line 2 "Checked 1 of 2 lines, 1 failed. WRONG: perhaps the checksum is 88"
tm send-keys -t t Escape s
expect_line 1 "File listing.bin has been saved."
tm send-keys -t t x q
expect_line 3 "1 line failed its sum. Quit anyway? (Y/N)"
tm send-keys -t t y y
expect "exit=0"
[ "$(hex listing.bin)" = "01020304050607081111111111111111" ] || fail "saved bytes: $(hex listing.bin)"

tm send-keys -t t "clear; $lbe --type-in /A100 listing.bin; echo exit=\$?" Enter
expect_line 1 "Addr: 0100-010F   File: listing.bin"
tm send-keys -t t e
expect_line 1 "0100 0102030405060708:24 [--] ok: the line sums to 24"
expect_line 2 "Checked 1 of 2 lines, 1 failed. Next to type: 0108.  Tab: next unchecked line"
tm send-keys -t t Tab
expect_line 1 "0108 1111111111111111:89 [24] WRONG: the line sums to 88"
tm send-keys -t t Escape q y y
expect "exit=0"
echo "PASS"

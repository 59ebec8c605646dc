#!/usr/bin/env bash
# The real lbe in tmux: the edit mode entered with E and with G, typing a whole line and the
# wrap to the next, Insert and Delete, T and Save, and the list view over two pages.
source "$(dirname "$0")/tmux_lib.sh" "$1" edit

# Waits up to 20 s for the cursor to stand on 1-based column $1 of row $2.
expect_cursor() {
  local at=""
  for _ in $(seq 200); do
    at=$(tm display-message -p -t t '#{e|+:#{cursor_x},1},#{e|+:#{cursor_y},1}')
    [ "$at" = "$1,$2" ] && return 0
    sleep 0.1
  done
  fail "cursor: expected column $1 row $2, got $at"
}

printf 'ABCDEFGHIJKLMNOP' > rom.bin

start_shell
tm send-keys -t t "clear; $lbe /A100 rom.bin" Enter
expect_line 1 "Addr: 0100-010F   File: rom.bin"

# E: the start line, the cursor on its first digit.
tm send-keys -t t e
expect_line 1 "0100 4142434445464748:24 [--]"
expect_cursor 6 1

# A whole line typed: the checksum follows each digit, then the next line is shown.
tm send-keys -t t 0011223344556
expect_line 1 "0100 0011223344556748:AE [--]"
expect_cursor 19 1
tm send-keys -t t 677
expect_line 1 "0108 494A4B4C4D4E4F50:64 [DC]"
expect_cursor 6 1
tm send-keys -t t Up
expect_line 1 "0100 0011223344556677:DC [--]"

# Insert and Delete at the second byte.
tm send-keys -t t Right IC
expect_line 1 "0100 0000112233445566:65 [--]"
expect_cursor 8 1
tm send-keys -t t DC
expect_line 1 "0100 0011223344556677:DC [--]"
tm send-keys -t t Escape
expect_line 1 "Addr: 0100-010F   File: rom.bin"

# G with an address: the cursor on the addressed byte's high nibble.
tm send-keys -t t g
expect_line 1 "Goto:"
tm send-keys -t t 10a Enter
expect_line 1 "0108 494A4B4C4D4E4F50:64 [DC]"
expect_cursor 10 1
tm send-keys -t t F
expect_line 1 "0108 494AFB4C4D4E4F50:14 [DC]"
expect_cursor 11 1

# Page Down raises the end of the range; T at the second line cuts it back; Save writes it.
tm send-keys -t t NPage
expect_line 1 "0208 0000000000000000:00 [00]"
tm send-keys -t t Escape
expect_line 1 "Addr: 0100-020F   File: rom.bin"
tm send-keys -t t e Down T Escape
expect_line 1 "Addr: 0100-010F   File: rom.bin"
tm send-keys -t t s
expect "File rom.bin has been saved."
tm send-keys -t t Space
expect_line 1 "Addr: 0100-010F   File: rom.bin"
[ "$(hex rom.bin)" = "0011223344556677494afb4c4d4e4f50" ] ||
  fail "saved bytes: $(od -An -tx1 rom.bin)"

# The list view over two pages: the range 0000-0307 is 97 lines.
tm send-keys -t t a
expect_line 1 "Adress:"
tm send-keys -t t 0 Enter
expect_line 1 "Addr: 0000-0007   File: rom.bin"
tm send-keys -t t e NPage NPage NPage Escape
expect_line 1 "Addr: 0000-0307   File: rom.bin"
tm send-keys -t t l
expect_line 25 "(more)"
expect_line 1 "0000 0000000000000000:00  00C0 0000000000000000:00  0180 0000000000000000:00"
expect_line 9 "0040 0000000000000000:00  0100 0011223344556677:DC  01C0 0000000000000000:00"
expect_line 10 "0048 0000000000000000:00  0108 494AFB4C4D4E4F50:14  01C8 0000000000000000:00"
expect_line 24 "00B8 0000000000000000:00  0178 0000000000000000:00  0238 0000000000000000:00"
tm send-keys -t t Space
expect_line 25 "Press any key..."
expect_line 1 "0240 0000000000000000:00  0300 0000000000000000:00"
expect_line 24 "02F8 0000000000000000:00"
expect_line 2 "0248 0000000000000000:00"
tm send-keys -t t Space
expect_line 1 "Addr: 0000-0307   File: rom.bin"

# Esc at "(more)" still asks for a key.
tm send-keys -t t l
expect_line 25 "(more)"
tm send-keys -t t Escape
expect_line 25 "Press any key..."
expect_line 1 "0000 0000000000000000:00  00C0 0000000000000000:00  0180 0000000000000000:00"
tm send-keys -t t Space
expect_line 1 "Addr: 0000-0307   File: rom.bin"
tm send-keys -t t q y
expect_line 1 "$"
tm send-keys -t t "echo exit=\$?" Enter
expect "exit=0"
echo "edit mode and list view in a real terminal: ok"

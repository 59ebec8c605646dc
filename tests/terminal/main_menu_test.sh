#!/usr/bin/env bash
# The real lbe in tmux: the menu with and without parameters, the A command, quitting with the
# terminal given back, and the usage text on standard output.
source "$(dirname "$0")/tmux_lib.sh" "$1" menu
printf 'ABCDEFGH' > rom.bin

# The usage text goes to standard output as plain lines, without taking over the terminal.
"$lbe" /? > usage.txt
[ "$(sed -n 3p usage.txt)" = "LBE [/A[[:]Start-address]] [/M] [FileName]" ] || fail "usage line"
[ "$(wc -l < usage.txt)" = 6 ] || fail "usage length"
"$lbe" --help > help.txt
grep -qx " --offset=N          Load and save the file from its byte N on" help.txt ||
  fail "help line of --offset"
grep -q '^lbe ' <<< "$("$lbe" --version)" || fail "version"

# Without a terminal the program refuses to start, with a message.
if "$lbe" rom.bin < /dev/null > out.txt 2> err.txt; then fail "started without a terminal"; fi
grep -q 'terminal' err.txt || fail "no message without a terminal: $(cat err.txt)"

start_shell

# No parameters.
tm send-keys -t t "$lbe" Enter
expect_line 1 "Addr: 0000-0007   File: [no name]"
expect_line 2 "Edit   Goto   List   Save   Quit"
expect_line 3 ">"
tm send-keys -t t q
expect_line 3 "Are you sure? (Y/N)"
tm send-keys -t t n
expect_line 3 ">"
tm send-keys -t t Escape
expect_line 3 "Are you sure? (Y/N)"
tm send-keys -t t y
expect_gone "Are you sure"
tm send-keys -t t "echo first=\$?" Enter
expect "first=0"
expect_modes_given_back "after Quit"

# A file and a start address, then the A command.
tm send-keys -t t "clear; $lbe /A100 $work/rom.bin" Enter
expect_line 1 "Addr: 0100-0107   File: rom.bin"
tm send-keys -t t a
expect_line 1 "Adress:"
tm send-keys -t t "12" Enter
expect_line 1 "Addr: 0010-0017   File: rom.bin"
tm send-keys -t t Q Y
expect_gone "Addr:"
tm send-keys -t t "echo exit=\$?" Enter
expect "exit=0"
expect_modes_given_back "after the second run"
echo "main menu in a real terminal: ok"

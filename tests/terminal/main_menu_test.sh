#!/usr/bin/env bash
# The real lbe in tmux: the menu with and without parameters, the A command, quitting with the
# terminal given back, and the usage text on standard output.
set -euo pipefail
build=$(cd "$1" && pwd)
lbe="$build/lbe"
work=$(mktemp -d)
socket="lbe-$$-menu"
tm() { tmux -L "$socket" -f /dev/null "$@"; }
cleanup() { tm kill-server 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- screen ---" >&2
  tm capture-pane -p -t t >&2 2>/dev/null || true
  exit 1
}
# Waits up to 10 s for the screen to hold the text.
expect() {
  for _ in $(seq 100); do
    tm capture-pane -p -t t | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  fail "expected on screen: $1"
}
# Waits up to 10 s for the text to leave the screen (the program has ended).
expect_gone() {
  for _ in $(seq 100); do
    tm capture-pane -p -t t | grep -qF -- "$1" || return 0
    sleep 0.1
  done
  fail "still on screen: $1"
}
expect_line() {  # row (1-based) and its exact text, trailing blanks ignored
  local row
  for _ in $(seq 100); do
    row=$(tm capture-pane -p -t t | sed -n "$1p" | sed 's/ *$//')
    [ "$row" = "$2" ] && return 0
    sleep 0.1
  done
  fail "row $1: expected '$2', got '$row'"
}

cd "$work"
printf 'ABCDEFGH' > rom.bin

# The usage text goes to standard output as plain lines, without taking over the terminal.
"$lbe" /? > usage.txt
[ "$(sed -n 3p usage.txt)" = "LBE [/A[[:]Start-address]] [/M] [FileName]" ] || fail "usage line"
[ "$(wc -l < usage.txt)" = 6 ] || fail "usage length"
"$lbe" --version | grep -q '^lbe ' || fail "version"

# Without a terminal the program refuses to start, with a message.
if "$lbe" rom.bin < /dev/null > out.txt 2> err.txt; then fail "started without a terminal"; fi
grep -q 'terminal' err.txt || fail "no message without a terminal: $(cat err.txt)"

tm new-session -d -s t -x 100 -y 30 -c "$work" "bash --norc --noprofile"
tm send-keys -t t "PS1='$ '; stty -g > before.txt; echo shell-ready" Enter
expect shell-ready

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
tm send-keys -t t "echo first=\$?; stty -g > after.txt" Enter
expect "first=0"
cmp -s before.txt after.txt || fail "terminal modes not given back"

# A file and a start address, then the A command.
tm send-keys -t t "clear; $lbe /A100 $work/rom.bin" Enter
expect_line 1 "Addr: 0100-0107   File: rom.bin"
tm send-keys -t t a
expect_line 1 "Adress:"
tm send-keys -t t "12" Enter
expect_line 1 "Addr: 0010-0017   File: rom.bin"
tm send-keys -t t Q Y
expect_gone "Adress"
expect_gone "Addr:"
tm send-keys -t t "echo exit=\$?" Enter
expect "exit=0"
tm send-keys -t t "stty -g > after2.txt; echo saved" Enter
expect saved
cmp -s before.txt after2.txt || fail "terminal modes not given back after the second run"
echo "main menu in a real terminal: ok"

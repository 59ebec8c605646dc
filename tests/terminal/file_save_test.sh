#!/usr/bin/env bash
# The real lbe in tmux: S saves whole lines and keeps a linked, write-protected file's link and
# mode; an edit reaches the file; F with a file that cannot be read shows the error and keeps
# the former name; S asks for a name; a path error stands above "Press any key..."; a load
# error at start-up gives the terminal back and reports on standard error with status 1.
source "$(dirname "$0")/tmux_lib.sh" "$1" file-save

cd "$work"
printf '\x01\x02\x03\x04\x05' > five.bin
mkdir real
printf 'ABCDEFGH' > real/rom.bin
chmod 640 real/rom.bin
ln -s real/rom.bin link.bin
mkfifo pipe

tm new-session -d -s t -x 100 -y 30 -c "$work" "bash --norc --noprofile"
shell "PS1='$ '"

# S writes whole lines: the 5 bytes and 3 zeros.
start() { tm send-keys -t t "clear; $1; echo exit=\$?" Enter; }
start "$lbe /A100 five.bin"
expect_line 1 "Addr: 0100-0107   File: five.bin"
tm send-keys -t t s
expect_line 1 "File five.bin has been saved."
expect_line 2 "Press any key..."
[ "$(hex five.bin)" = "0102030405000000" ] || fail "five.bin holds $(hex five.bin)"

# An edit reaches the file: 4 and 1 overtype the first byte.
tm send-keys -t t x
expect_line 1 "Addr: 0100-0107   File: five.bin"
tm send-keys -t t e
expect "0100 "
tm send-keys -t t 4 1 Escape
expect_line 1 "Addr: 0100-0107   File: five.bin"
tm send-keys -t t s
expect_line 1 "File five.bin has been saved."
[ "$(hex five.bin)" = "4102030405000000" ] || fail "edited five.bin holds $(hex five.bin)"
tm send-keys -t t x

# F with a FIFO: the error is shown, nothing hangs, and the name stays five.bin.
expect_line 1 "Addr: 0100-0107   File: five.bin"
tm send-keys -t t f
expect_line 1 "FileName:"
tm send-keys -t t "pipe" Enter
expect "は開けません。 Operation not supported"
# (Where "[pipe]" stands depends on the length of the temporary folder's path: a piece of
# output that reaches the window's edge is cut there.)
expect "Press any key..."
tm send-keys -t t x
expect_line 1 "Addr: 0100-0107   File: five.bin"

# F with a missing folder sets the name; S then shows the path error above the wait.
tm send-keys -t t f
expect_line 1 "FileName:"
tm send-keys -t t "  sub/x.bin  " Enter
expect_line 1 "Addr: 0100-0107   File: x.bin"
tm send-keys -t t s
expect_line 1 "指定されたパスが見つかりません"
expect_line 2 "[sub/x.bin]"
expect_line 3 "Press any key..."
tm send-keys -t t x
expect_line 1 "Addr: 0100-0107   File: x.bin"
tm send-keys -t t q y
expect "exit=0"
[ "$(hex five.bin)" = "4102030405000000" ] || fail "five.bin changed after the failed save"

# S through a link keeps the link and the mode of the file it points to.
start "$lbe link.bin"
expect_line 1 "Addr: 0000-0007   File: link.bin"
tm send-keys -t t e 3 1 Escape
expect_line 1 "Addr: 0000-0007   File: link.bin"
tm send-keys -t t s
expect_line 1 "File link.bin has been saved."
tm send-keys -t t x q y
expect "exit=0"
[ -L link.bin ] || fail "link.bin is no longer a link"
[ "$(stat -c %a real/rom.bin)" = 640 ] || fail "mode of real/rom.bin is $(stat -c %a real/rom.bin)"
[ "$(hex real/rom.bin)" = "3142434445464748" ] || fail "real/rom.bin holds $(hex real/rom.bin)"

# S without a name asks for one; the result stands below the typed name.
start "$lbe"
expect_line 1 "Addr: 0000-0007   File: [no name]"
tm send-keys -t t s
expect_line 1 "FileName:"
tm send-keys -t t "new.bin" Enter
expect_line 2 "File new.bin has been saved."
expect_line 3 "Press any key..."
tm send-keys -t t x
expect_line 1 "Addr: 0000-0007   File: new.bin"
tm send-keys -t t q y
expect "exit=0"
[ "$(hex new.bin)" = "0000000000000000" ] || fail "new.bin holds $(hex new.bin)"

# A FIFO named at start-up stops the program at once: terminal back, report, status 1.
shell "clear; stty -g > before.txt; $lbe pipe 2> err.txt; echo exit=\$?; stty -g > after.txt"
expect "exit=1"
cmp -s before.txt after.txt || fail "terminal modes not given back after the stop"
grep -q "^EInOutError がモジュール lbe の [0-9A-F]\{8\} で発生しました。$" err.txt ||
  fail "stop report heading: $(cat err.txt)"
grep -qF "ファイル $work/pipe は開けません。 Operation not supported " err.txt ||
  fail "stop report message: $(cat err.txt)"
grep -qxF "[pipe]." err.txt || fail "stop report path line: $(cat err.txt)"
! grep -q $'\r' err.txt || fail "stop report carries carriage returns"
echo "file load and save in a real terminal: ok"

#!/usr/bin/env bash
# The real lbe in tmux: S saves whole lines and keeps a linked, write-protected file's link and
# mode; an edit reaches the file; F with a file that cannot be read shows the error and keeps
# the former name; S asks for a name; a path error stands above "Press any key..."; a load
# error at start-up gives the terminal back and reports on standard error with status 1. A save
# keeps the file's inode, hard links, mode, ACL and extended attributes. A file
# longer than the space keeps its tail; --offset edits a window of the file at its own address;
# a bad --offset is refused before the terminal is taken; a save killed half-way is undone,
# with a notice, when lbe starts again.
source "$(dirname "$0")/tmux_lib.sh" "$1" file-save

printf '\x01\x02\x03\x04\x05' > five.bin
mkdir real
printf 'ABCDEFGH' > real/rom.bin
chmod 640 real/rom.bin
ln -s real/rom.bin link.bin
mkfifo pipe

start_shell

# Runs a command line in the pane, followed by its exit status.
start() { tm send-keys -t t "clear; $1; echo exit=\$?" Enter; }
# Starts lbe with the parameters $1 on the file $2, shown with the status line $3; types the
# keys $4 in the edit mode, which then shows $5, saves and quits.
edit_save_quit() {
  start "$lbe $1"
  expect_line 1 "$3"
  tm send-keys -t t e $4
  expect "$5"
  tm send-keys -t t Escape
  expect_line 1 "$3"
  tm send-keys -t t s
  expect_line 1 "File $2 has been saved."
  tm send-keys -t t x q y
  expect "exit=0"
}

# S writes whole lines: the 5 bytes and 3 zeros.
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
edit_save_quit "link.bin" link.bin "Addr: 0000-0007   File: link.bin" "3 1" "0000 3142"
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
# The file keeps its identity: inode, hard link, mode, ACL and extended attribute.
printf 'ABCDEFGH' > id.bin
chmod 640 id.bin
ln id.bin id-link.bin
inode=$(stat -c %i id.bin)
have_acl=no; have_xattr=no
if command -v setfacl > /dev/null && setfacl -m u:65534:rw id.bin 2> /dev/null; then have_acl=yes; fi
if command -v setfattr > /dev/null && setfattr -n user.origin -v rom id.bin 2> /dev/null; then
  have_xattr=yes
fi
acl_before=$( [ $have_acl = yes ] && getfacl -cpn id.bin || true)
mode_before=$(stat -c %a id.bin)  # an ACL's mask shows in the group bits
edit_save_quit "id.bin" id.bin "Addr: 0000-0007   File: id.bin" "3 1" "0000 3142"
[ "$(stat -c %i id.bin)" = "$inode" ] || fail "id.bin has a new inode"
[ "$(hex id-link.bin)" = "3142434445464748" ] || fail "the hard link holds $(hex id-link.bin)"
[ "$(stat -c %a id.bin)" = "$mode_before" ] || fail "mode of id.bin is $(stat -c %a id.bin)"
if [ $have_acl = yes ]; then
  [ "$(getfacl -cpn id.bin)" = "$acl_before" ] || fail "ACL of id.bin: $(getfacl -cpn id.bin)"
else
  echo "note: ACL not checked (no setfacl, package acl, or no ACLs on this file system)"
fi
if [ $have_xattr = yes ]; then
  [ "$(getfattr --only-values -n user.origin id.bin)" = rom ] || fail "extended attribute lost"
else
  echo "note: extended attribute not checked (no setfattr, package attr, or no user xattrs)"
fi

# A 70,000-byte file: the first byte edited at 0000, the 4,464 bytes beyond the space kept.
head -c 70000 /dev/urandom > big70k.bin
cp big70k.bin expected.bin
printf '\x41' | dd of=expected.bin bs=1 count=1 conv=notrunc status=none
edit_save_quit "big70k.bin" big70k.bin "Addr: 0000-FFFF   File: big70k.bin" "4 1" "0000 41"
cmp big70k.bin expected.bin || fail "big70k.bin is not the edited file with its tail"

# A bank of a banked ROM at its own address: file bytes 14000-17FFF at 8000-BFFF, the status
# line shows the offset, and the save changes that bank alone.
head -c 262144 /dev/urandom > game.rom
cp game.rom expected.rom
printf '\x5a' | dd of=expected.rom bs=1 seek=$((0x14000)) count=1 conv=notrunc status=none
edit_save_quit "/A8000 --offset=14000 game.rom" game.rom \
  "Addr: 8000-FFFF   File: game.rom +14000" "5 a" "8000 5A"
cmp game.rom expected.rom || fail "game.rom changed outside the bank's first byte"

# A bad offset: a message on standard error, status 2, nothing loaded, the terminal untouched.
for bad in "--offset=xyz" "--offset=10 --offset=20" "--offset"; do
  shell "clear; stty -g > before.txt; $lbe $bad game.rom 2> err.txt; echo exit=\$?; stty -g > after.txt"
  expect "exit=2"
  cmp -s before.txt after.txt || fail "terminal modes changed by $bad"
  grep -q "^lbe: --offset" err.txt || fail "no message for $bad: $(cat err.txt)"
done
cmp game.rom expected.rom || fail "game.rom changed by a refused start"

# A save killed half-way: the test build, with LBE_TEST_PAUSE_IN_SAVE, holds it with half the
# window written. The next start puts the file back and says so before the menu.
head -c 65536 /dev/urandom > window.bin
cp window.bin former.bin
tm send-keys -t t "clear; sh -c 'echo \$\$ > lbe.pid; LBE_TEST_PAUSE_IN_SAVE=120 exec $build/lbe_testing window.bin'; echo exit=\$?" Enter
expect_line 1 "Addr: 0000-FFFF   File: window.bin"
# The first and the last line change, so half a save is a file neither old nor new.
tm send-keys -t t e
expect "0000 "
tm send-keys -t t -l "0000000000000000"
tm send-keys -t t End
expect "FFF8 "
tm send-keys -t t -l "0000000000000000"
tm send-keys -t t Escape
expect_line 1 "Addr: 0000-FFFF   File: window.bin"
tm send-keys -t t s
journal() { ls state/lbe/*.lbe-journal 2>/dev/null; }
for _ in $(seq 200); do
  [ -n "$(journal)" ] && ! cmp -s window.bin former.bin && break
  sleep 0.1
done
[ -n "$(journal)" ] || fail "the save left no journal in the state folder while it ran"
cmp -s window.bin former.bin && fail "the paused save had not begun to write"
kill -KILL "$(cat lbe.pid)"
expect "exit=137"
shell "stty sane; tput rmcup; clear"
start "$lbe window.bin"
expect_line 1 "The last save of window.bin was interrupted."
expect_line 2 "The file has been put back as it was before that save."
expect_line 3 "Press any key..."
cmp window.bin former.bin || fail "window.bin was not put back"
[ -n "$(journal)" ] && fail "the journal is still there"
tm send-keys -t t x
expect_line 1 "Addr: 0000-FFFF   File: window.bin"
tm send-keys -t t q y
expect "exit=0"
echo "file load and save in a real terminal: ok"

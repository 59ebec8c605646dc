#!/usr/bin/env bash
# The real lbe in tmux: S asks before a save that moves the bytes after the range, and before
# one that would write over a file changed on disk or replaced by another; N or Esc writes
# nothing, Y saves. --length loads just a bank, whose save then asks nothing.
source "$(dirname "$0")/tmux_lib.sh" "$1" save-questions

start_shell
# Runs a command line in the pane, followed by its exit status.
start() { tm send-keys -t t "clear; $1; echo exit=\$?" Enter; }
# The 8 bytes of file $1 from offset $2 as the edit mode shows them.
line_bytes() { od -An -v -tx1 -j "$2" -N 8 "$1" | tr -d ' \n' | tr a-f A-F; }

# 32 KiB of a 256 KiB ROM loaded at 8000; T at BFF8 cuts the range to 16 KiB, so the save
# moves the 147456 bytes from file offset 1C000 on, and the file becomes 245760 bytes.
head -c 262144 /dev/urandom > rom.bin
cp rom.bin former.bin
start "$lbe /A8000 --offset=14000 rom.bin"
expect_line 1 "Addr: 8000-FFFF   File: rom.bin +14000"
tm send-keys -t t g
expect_line 1 "Goto:"
tm send-keys -t t BFF8 Enter
expect "BFF8 $(line_bytes rom.bin $((0x14000 + 0x3FF8))):"
tm send-keys -t t t Escape
bank="Addr: 8000-BFFF   File: rom.bin +14000"
expect_line 1 "$bank"
tm send-keys -t t s
expect_line 1 "This save moves the 147456 bytes after the range;"
expect_line 2 "the file becomes 245760 bytes. Save anyway? (Y/N)"
tm send-keys -t t n
expect_line 1 "$bank"
cmp rom.bin former.bin || fail "N wrote to rom.bin"
tm send-keys -t t s
expect_line 2 "the file becomes 245760 bytes. Save anyway? (Y/N)"
tm send-keys -t t y
expect_line 3 "File rom.bin has been saved."
expect_line 4 "Press any key..."
{ head -c $((0x18000)) former.bin; tail -c +$((0x1C000 + 1)) former.bin; } > expected.bin
[ "$(stat -c %s rom.bin)" = 245760 ] || fail "rom.bin is $(stat -c %s rom.bin) bytes"
cmp rom.bin expected.bin || fail "rom.bin is not the 16 KiB bank followed by the rest"
tm send-keys -t t x
expect_line 1 "$bank"
tm send-keys -t t q y
expect "exit=0"

# --length=4000 loads just that bank: an edited byte is saved without a question, alone.
cp rom.bin former.bin
old=$(od -An -tu1 -j $((0x14000)) -N 1 rom.bin | tr -d ' ')
new=$(printf '%02X' $((old ^ 0xA5)))
start "$lbe /A8000 --offset=14000 --length=4000 rom.bin"
expect_line 1 "$bank"
tm send-keys -t t e
expect "8000 "
tm send-keys -t t "${new:0:1}" "${new:1:1}" Escape
expect_line 1 "$bank"
tm send-keys -t t s
expect_line 1 "File rom.bin has been saved."
changed=$(cmp -l rom.bin former.bin || true)  # offsets from 1
[ "$(awk '{ print $1 }' <<< "$changed")" = $((0x14000 + 1)) ] || fail "changed bytes: $changed"
tm send-keys -t t x
expect_line 1 "$bank"
tm send-keys -t t q y
expect "exit=0"

# Another writer changes a byte while lbe has the file: Esc keeps it, Y writes over it, and the
# next save asks nothing.
printf '\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff' > f.bin
start "$lbe f.bin"
status="Addr: 0000-000F   File: f.bin"
expect_line 1 "$status"
printf '\xa5' | dd of=f.bin bs=1 seek=3 conv=notrunc status=none
tm send-keys -t t e
expect "0000 "
tm send-keys -t t 4 1 Escape
expect_line 1 "$status"
tm send-keys -t t s
expect_line 1 "The file has changed since it was loaded. Save anyway? (Y/N)"
tm send-keys -t t Escape
expect_line 1 "$status"
[ "$(hex f.bin)" = "001122a5445566778899aabbccddeeff" ] || fail "Esc left f.bin as $(hex f.bin)"
tm send-keys -t t s
expect_line 1 "The file has changed since it was loaded. Save anyway? (Y/N)"
tm send-keys -t t y
expect_line 2 "File f.bin has been saved."
expect_line 3 "Press any key..."
[ "$(hex f.bin)" = "41112233445566778899aabbccddeeff" ] || fail "Y left f.bin as $(hex f.bin)"
tm send-keys -t t x
expect_line 1 "$status"
tm send-keys -t t s
expect_line 1 "File f.bin has been saved."
expect_line 2 "Press any key..."
tm send-keys -t t x
expect_line 1 "$status"
tm send-keys -t t q y
expect "exit=0"

# The name now leads to another file, put there by mv: N writes nothing.
printf 'loaded..' > g.bin
printf 'another.' > other.bin
start "$lbe g.bin"
expect_line 1 "Addr: 0000-0007   File: g.bin"
mv other.bin g.bin
tm send-keys -t t s
expect_line 1 "g.bin now names another file than the one loaded."
expect_line 2 "Save anyway? (Y/N)"
tm send-keys -t t n
expect_line 1 "Addr: 0000-0007   File: g.bin"
[ "$(cat g.bin)" = "another." ] || fail "N wrote to g.bin: $(cat g.bin)"
tm send-keys -t t q y
expect "exit=0"
expect_modes_given_back "after the last quit"
echo "save questions in a real terminal: ok"

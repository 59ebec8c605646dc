#!/usr/bin/env bash
# The real lbe in tmux on an Intel HEX file: the range is the records' lines, a patched byte is
# saved into the records, and objcopy reads the saved file back to the image, gap and all.
source "$(dirname "$0")/tmux_lib.sh" "$1" record-file

printf 'ABCDEFGH' > low.bin
printf '\x11\x22' > high.bin
objcopy -I binary -O ihex --change-addresses 0x100 low.bin low.hex
objcopy -I binary -O ihex --change-addresses 0x200 high.bin high.hex
{ grep -v -e ':00000001FF' -e ':04000003' low.hex; cat high.hex; } > fw.hex

start_shell
tm send-keys -t t "clear; $lbe fw.hex; echo exit=\$?" Enter
expect_line 1 "Addr: 0100-0207   File: fw.hex"
tm send-keys -t t e
expect "0100 4142434445464748"
tm send-keys -t t 5 a Escape
expect_line 1 "Addr: 0100-0207   File: fw.hex"
tm send-keys -t t s
expect_line 1 "File fw.hex has been saved."
tm send-keys -t t x q y
expect "exit=0"

objcopy -I ihex -O binary fw.hex back.bin || fail "objcopy cannot read the saved file"
expected="5a42434445464748$(printf '%0496d' 0)1122"
[ "$(hex back.bin)" = "$expected" ] || fail "the saved file reads back as $(hex back.bin)"
# An S-record file as another tool left it: lower case, CR LF, no end record. The load says what
# is missing; a patched byte changes its one line and nothing else.
printf 's00600004844521b\r\ns1070100aabbccdde9\r\ns1070104eeff0011f5\r\n' > cut.s19
cp cut.s19 cut-before.s19
tm send-keys -t t "clear; $lbe cut.s19; echo exit=\$?" Enter
expect "cut.s19: no end record: the file may have been cut short"
tm send-keys -t t Space
expect_line 1 "Addr: 0100-0107   File: cut.s19"
tm send-keys -t t e
expect "0100 AABBCCDDEEFF0011"
tm send-keys -t t Right Right 1 2 Escape s
expect_line 1 "File cut.s19 has been saved."
tm send-keys -t t x q y
expect "exit=0"
changed=$(diff cut-before.s19 cut.s19 | grep -c '^[<>]' || true)
[ "$changed" = 2 ] || fail "the save changed more than the one record: $(diff cut-before.s19 cut.s19)"
grep -q $'^s1070100aabb12dda3\r$' cut.s19 || fail "the patched record lost its look: $(cat -A cut.s19)"
echo "record file: ok"

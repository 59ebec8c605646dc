#!/usr/bin/env bash
# The real lbe in tmux on an Intel HEX file: the range is the records' lines, a patched byte is
# saved into the records, and objcopy reads the saved file back to the image, gap and all.
source "$(dirname "$0")/tmux_lib.sh" "$1" record-file

cd "$work"
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
echo "record file: ok"

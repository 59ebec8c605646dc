#!/usr/bin/env bash
# A save killed half-way into a file on a disk that is then unplugged: its journal waits through
# the loads of other files, and when the disk comes back, under another device number, the
# file's own load puts it back. Needs root and loop devices; says why and passes without them.
source "$(dirname "$0")/tmux_lib.sh" "$1" loop_mount
if [ "$(id -u)" != 0 ] || ! command -v mkfs.ext4 > /dev/null || ! [ -e /dev/loop-control ]; then
  echo "loop mount test skipped: needs root, mkfs.ext4 and loop devices"
  exit 0
fi
unmount_all() { umount "$work/disk" "$work/first" 2> /dev/null || true; }
trap 'unmount_all; cleanup' EXIT
truncate -s 16M disk.img first.img
mkfs.ext4 -q -F disk.img && mkfs.ext4 -q -F first.img || { echo "skipped: no mkfs"; exit 0; }
mkdir disk first
if ! mount -o loop disk.img disk 2> /dev/null; then
  echo "loop mount test skipped: loop devices cannot be mounted here"
  exit 0
fi
device_before=$(stat -c %d disk)

# The file: three blocks, every one of which the save changes.
head -c 12288 /dev/urandom > disk/f.bin
cp disk/f.bin former.bin
head -c 12288 /dev/urandom > new.bin
"$lbe" --list new.bin > new.txt
journals() { ls state/lbe/*.lbe-journal 2> /dev/null; }
LBE_TEST_PAUSE_IN_SAVE=120 "$build/lbe_testing" --check new.txt -o disk/f.bin 2> /dev/null &
saver=$!
for _ in $(seq 200); do
  [ -n "$(journals)" ] && ! cmp -s disk/f.bin former.bin && break
  sleep 0.1
done
[ -n "$(journals)" ] || fail "the paused save left no journal"
cmp -s disk/f.bin former.bin && fail "the paused save had not begun to write"
cmp -s disk/f.bin new.bin && fail "the paused save had written everything"
kill -KILL "$saver"
wait "$saver" 2> /dev/null || true
umount disk

# Unplugged: loads of other files and the list of journals leave the journal where it is.
printf 'other' > other.bin
start_shell
tm send-keys -t t "clear; $lbe other.bin; echo exit=\$?" Enter
expect "File: other.bin"
tm send-keys -t t q y
expect "exit=0"
"$lbe" --list other.bin > /dev/null || fail "--list of another file failed"
"$lbe" --journals > journals.txt || fail "--journals failed"
grep -q "its file is not at that path" journals.txt || fail "--journals said: $(cat journals.txt)"
[ -n "$(journals)" ] || fail "the journal went while its disk was away"

# Back under another device number: another disk takes the first loop device.
mount -o loop first.img first
mount -o loop disk.img disk
[ "$(stat -c %d disk)" != "$device_before" ] || fail "the disk came back under the same number"
"$lbe" --list disk/f.bin > /dev/null 2> list.err && fail "--list listed a half-saved file"
grep -q "was interrupted" list.err || fail "--list said: $(cat list.err)"
tm send-keys -t t "clear; $lbe disk/f.bin; echo exit=\$?" Enter
expect_line 1 "The last save of disk/f.bin was interrupted."
cmp -s disk/f.bin former.bin || fail "disk/f.bin was not put back"
[ -z "$(journals)" ] || fail "the journal is still there: $(journals)"
tm send-keys -t t x
expect "File: f.bin"
tm send-keys -t t q y
expect "exit=0"
echo "a journal waits for its unplugged disk and rolls back when it comes back: ok"

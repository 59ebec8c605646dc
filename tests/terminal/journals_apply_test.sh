#!/usr/bin/env bash
# lbe --journals on the real binary: a save killed half-way leaves a journal that the list shows
# waiting; --apply shows what it would put back and asks on the terminal; n leaves all as it
# was, y puts the former bytes back and removes the journal.
source "$(dirname "$0")/tmux_lib.sh" "$1" journals_apply
head -c 12288 /dev/urandom > f.bin
cp f.bin former.bin
head -c 12288 /dev/urandom > new.bin
"$lbe" --list new.bin > new.txt
journals() { ls state/lbe/*.lbe-journal 2> /dev/null; }
LBE_TEST_PAUSE_IN_SAVE=120 "$build/lbe_testing" --check new.txt -o f.bin 2> /dev/null &
saver=$!
for _ in $(seq 200); do
  [ -n "$(journals)" ] && ! cmp -s f.bin former.bin && break
  sleep 0.1
done
[ -n "$(journals)" ] || fail "the paused save left no journal"
"$lbe" --journals --remove="$(journals)" > /dev/null 2> remove.err &&
  fail "--remove took the journal of a running save"
grep -q "running now" remove.err || fail "--remove said: $(cat remove.err)"
kill -KILL "$saver"
wait "$saver" 2> /dev/null || true
cp f.bin half.bin
"$lbe" --journals > list.txt
grep -q "	for $work/f.bin	" list.txt || fail "--journals listed: $(cat list.txt)"
grep -q "its file is there: open it in lbe to settle it" list.txt || fail "$(cat list.txt)"

start_shell
# Each run on a cleared screen, so that no wait is met by what the run before it showed.
shell "clear"
tm send-keys -t t "$lbe --journals --apply=$(journals); echo exit=\$?" Enter
expect "Put these bytes back? (y/N)"
tm send-keys -t t n Enter
expect "Nothing was put back."
expect "exit=1"
cmp -s f.bin half.bin || fail "n changed the file"
[ -n "$(journals)" ] || fail "n removed the journal"
shell "clear"
tm send-keys -t t "$lbe --journals --apply=$(journals); echo exit=\$?" Enter
expect "Put these bytes back? (y/N)"
tm send-keys -t t y Enter
expect "exit=0"
cmp -s f.bin former.bin || fail "y did not put f.bin back"
[ -z "$(journals)" ] || fail "the applied journal is still there"
echo "lbe --journals lists, and applies at the user's word: ok"

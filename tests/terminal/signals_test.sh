#!/usr/bin/env bash
# The real lbe in tmux: every way out gives the terminal back (SIGINT, SIGTERM, SIGHUP, Ctrl-Z
# and fg); a signal with unsaved changes leaves a rescue copy beside the file and never
# overwrites one, whole even when more signals come while it is written or the terminal's
# session is killed; a save that fails part-way leaves the old file as it was.
source "$(dirname "$0")/tmux_lib.sh" "$1" signals
printf 'ABCDEFGH' > rom.bin
start_shell

# Ends lbe, started on rom.bin and edited (or not), with a signal; checks the status.
run_and_signal() {  # signal, expected status, keys typed in the edit mode ("" for none)
  shell "clear"
  # In a subshell: an interactive shell drops the rest of a line whose command died of SIGINT.
  tm send-keys -t t "(trap : INT; $lbe rom.bin 2> err.txt; echo status=\$?)" Enter
  expect_line 1 "Addr: 0000-0007   File: rom.bin"
  if [ -n "$3" ]; then
    tm send-keys -t t e
    expect "0000 4142434445464748:24 [--]"
    tm send-keys -t t $3
    expect "0000 12"
  fi
  # Only the lbe on this test's own pane: other tests may run an lbe on a rom.bin of theirs.
  pkill -"$1" -t "$(tm display -p -t t '#{pane_tty}' | sed 's|^/dev/||')" -f "^$lbe rom.bin" ||
    fail "no lbe to signal"
  expect "status=$2"
  expect_modes_given_back "after SIG$1"
}

run_and_signal TERM 143 ""
[ ! -e rom.bin.lbe-rescue ] || fail "a rescue copy without changes"
[ ! -s err.txt ] || fail "unexpected message: $(cat err.txt)"

run_and_signal HUP 129 "1 2"
[ "$(hex rom.bin.lbe-rescue)" = "1242434445464748" ] || fail "rescue holds $(hex rom.bin.lbe-rescue)"
[ "$(hex rom.bin)" = "4142434445464748" ] || fail "the file itself changed"
grep -qx "lbe: unsaved changes written to rom.bin.lbe-rescue" err.txt || fail "$(cat err.txt)"

run_and_signal INT 130 "1 2"
[ -e rom.bin.lbe-rescue.1 ] || fail "second rescue copy missing"
[ "$(hex rom.bin.lbe-rescue)" = "1242434445464748" ] || fail "first rescue copy overwritten"
grep -qx "lbe: unsaved changes written to rom.bin.lbe-rescue.1" err.txt || fail "$(cat err.txt)"

# More signals while the rescue copy is written (the test build holds it half-way) neither cut
# it short nor change how lbe ends: as the first one would end it.
shell "clear"
tm send-keys -t t \
  "(LBE_TEST_PAUSE_IN_RESCUE=5 $build/lbe_testing rom.bin 2> err.txt; echo status=\$?)" Enter
expect_line 1 "Addr: 0000-0007   File: rom.bin"
tm send-keys -t t e 3 4
expect "0000 34"
pid=$(pgrep -t "$(tm display -p -t t '#{pane_tty}' | sed 's|^/dev/||')" -f "^$build/lbe_testing")
kill -HUP "$pid"
writing() { ls -l "/proc/$pid/fd" | grep -q -e ' (deleted)$' -e '/\.rom\.bin\.lbe-rescue\.2\.'; }
for _ in $(seq 200); do writing && break || sleep 0.1; done
writing || fail "no rescue copy being written"
for signal in TERM INT QUIT PIPE HUP; do
  kill -"$signal" "$pid" || fail "lbe ended before SIG$signal"
done
expect "status=129"
[ "$(hex rom.bin.lbe-rescue.2)" = "3442434445464748" ] || fail "rescue: $(hex rom.bin.lbe-rescue.2)"
grep -qx "lbe: unsaved changes written to rom.bin.lbe-rescue.2" err.txt || fail "$(cat err.txt)"

# A closed terminal window: the session of a pane is killed while lbe, started from its shell,
# holds unsaved changes, and the shell passes its hang-up on. A session per run: this pane lives.
for run in 1 2 3 4 5; do
  printf 'ABCDEFGH' > "kill$run.bin"
  pane="k$run"
  tm new-session -d -s "$pane" -x 100 -y 30 -c "$work" "HISTFILE= bash --norc --noprofile"
  tm send-keys -t "$pane" "$lbe kill$run.bin 2> kill$run.txt" Enter
  expect_line 1 "Addr: 0000-0007   File: kill$run.bin"
  tm send-keys -t "$pane" e 1 2
  expect "0000 12"
  tm kill-session -t "$pane"
  pane=t
  rescued() { grep -qx "lbe: unsaved changes written to kill$run.bin.lbe-rescue" "kill$run.txt"; }
  for _ in $(seq 200); do rescued && break || sleep 0.1; done
  rescued || fail "run $run: $(cat "kill$run.txt"); $(ls -l kill$run.*)"
  [ "$(hex "kill$run.bin.lbe-rescue")" = "1242434445464748" ] || fail "run $run: $(ls -l kill*)"
done

# Ctrl-Z gives the terminal back while stopped; fg takes it again and redraws.
shell "clear"
tm send-keys -t t "$lbe rom.bin" Enter
expect_line 1 "Addr: 0000-0007   File: rom.bin"
tm send-keys -t t C-z
expect "Stopped"
expect_modes_given_back "while suspended"
tm send-keys -t t "fg; echo resumed=\$?" Enter
expect_line 1 "Addr: 0000-0007   File: rom.bin"
expect_line 3 ">"
tm send-keys -t t q y
expect "resumed=0"
expect_modes_given_back "after Ctrl-Z, fg and Quit"

# A save that fails part-way (over the file size limit) leaves the old file whole.
head -c 4096 /dev/urandom > big.bin
# The typed 00 must change the first byte, or there is nothing to save (1 run in 256).
printf '\377' | dd of=big.bin bs=1 count=1 conv=notrunc 2> /dev/null
cp big.bin big.orig
shell "clear"
tm send-keys -t t "(ulimit -f 2; $lbe big.bin; echo status=\$?)" Enter
expect_line 1 "Addr: 0000-0FFF   File: big.bin"
tm send-keys -t t e 0 0
expect "0000 00"
tm send-keys -t t Escape
expect_line 1 "Addr: 0000-0FFF   File: big.bin"
tm send-keys -t t s
expect "Press any key..."
grep -q "has been saved" <<< "$(tm capture-pane -p -t t)" && fail "a failed save was reported as saved"
tm send-keys -t t x q y
expect "status=0"
cmp -s big.bin big.orig || fail "the old file was changed by a failed save"
left=$(ls -A | grep -v -e '^big' -e '^rom' -e '^kill' -e '\.txt$' -e '^state$' -e '^tmux-' || true)
[ -z "$left" ] || fail "files left behind: $left"
[ -z "$(ls -A state/lbe 2>/dev/null)" ] || fail "journals left behind: $(ls -A state/lbe)"
expect_modes_given_back "after the failed save"
echo "signals, rescue copy and failed save in a real terminal: ok"

#!/usr/bin/env bash
# The real lbe in tmux, on what keys and pastes do over a real terminal: a byte typed beyond the
# range joins it; a bracketed paste types hex digits in the edit mode, text at a prompt and
# answers no single-key wait; Ctrl-S and Ctrl-Q are mere keys while lbe runs, with flow control
# given back on every way out; an Up key cut in two by a slow link never becomes letters.
source "$(dirname "$0")/tmux_lib.sh" "$1" input
start_shell

# A paste through tmux's own bracketed paste, as a terminal sends a pasted selection.
paste() {
  printf '%s' "$1" > paste.txt
  tm load-buffer -b p paste.txt
  tm paste-buffer -p -d -b p -t t
}
start_lbe() {  # parameters
  shell "clear"
  tm send-keys -t t "$lbe $*; echo status=\$?" Enter
}

# A byte typed on a line beyond the range joins the range that Save writes.
start_lbe gone.bin
expect_line 1 "Addr: 0000-0007   File: gone.bin"
tm send-keys -t t g 10 Enter
expect_line 1 "0010 0000000000000000:00 [00]"
tm send-keys -t t 11223344 Escape
expect_line 1 "Addr: 0000-0017   File: gone.bin"
tm send-keys -t t s
expect "File gone.bin has been saved."
tm send-keys -t t Space
[ "$(hex gone.bin)" = "000000000000000000000000000000001122334400000000" ] ||
  fail "saved: $(hex gone.bin)"

# A paste at the menu, at the quit question and at "Press any key..." answers nothing.
paste "see query"
tm send-keys -t t q
expect_line 3 "Are you sure? (Y/N)"
paste "Yy"
tm send-keys -t t n
expect_line 3 ">"
tm send-keys -t t l
expect_line 25 "Press any key..."
# Taken as keys, the paste would end the wait with its x and ask the quit question with its q,
# which the Space typed after it cannot answer.
paste "xq"
tm send-keys -t t Space
expect_line 1 "Addr: 0000-0017   File: gone.bin"
expect_line 3 ">"
tm send-keys -t t s
expect "has been saved."
tm send-keys -t t Space
expect_line 1 "Addr: 0000-0017   File: gone.bin"
[ "$(hex gone.bin)" = "000000000000000000000000000000001122334400000000" ] ||
  fail "a paste changed the image: $(hex gone.bin)"

# At "Goto:" a paste is typed text up to its first line end; Enter is the user's.
tm send-keys -t t g
expect_line 1 "Goto:"
paste $'1\t0\n8'
expect_line 1 "Goto:10"
tm send-keys -t t Enter
expect_line 1 "0010 1122334400000000:AA [00]"

# In the edit mode a paste types its hex digits and nothing else: no T, R, Q or Esc.
paste $'0010: aa bb\tTRQ\x1b[A\ncc'
expect_line 1 "0010 0010AABBCC000000:41 [00]"
tm send-keys -t t Escape
expect_line 1 "Addr: 0000-0017   File: gone.bin"

# The whole image in one paste: every digit is taken, and quickly.
digits=$(head -c 65536 /dev/urandom | od -An -v -tx1 | tr -d ' \n')
tm send-keys -t t e
expect_line 1 "0000 0000000000000000:00 [--]"
started=$(date +%s%N)
paste "$digits"
tm send-keys -t t Escape
expect_line 1 "Addr: 0000-FFFF   File: gone.bin"
echo "paste of 131,072 digits shown done after $((($(date +%s%N) - started) / 1000000)) ms (tmux included)"
tm send-keys -t t s
expect "has been saved."
tm send-keys -t t Space
[ "$(hex gone.bin)" = "$digits" ] || fail "the pasted image was not saved whole"

# Flow control is off while lbe runs: Ctrl-S freezes nothing and Ctrl-Q is a mere key.
pane_tty=$(tm display-message -p -t t '#{pane_tty}')
stty -F "$pane_tty" -a | grep -qw -- -ixon || fail "IXON still on while lbe runs"
tm send-keys -t t e C-s 5 C-q 6
expect "0000 56$(tr a-f A-F <<< "${digits:2:14}")"
tm send-keys -t t Escape q y
expect "status=0"
expect_modes_given_back "after Ctrl-S and Ctrl-Q"
stty -F "$pane_tty" -a | grep -qw -- ixon || fail "IXON not given back"

# A start that fails (a terminal type that cannot place the cursor) gives everything back.
shell "clear"
tm send-keys -t t "TERM=dumb $lbe; echo status=\$?" Enter
expect "status=1"
expect_modes_given_back "after a failed start"

# An Up key cut in two: Esc, then "[A" some milliseconds later. Within the Esc delay it is
# Up; later the Esc acts alone and its late rest is dropped, never read as "[" and "A" (which
# would open "Adress:"). Over SSH the delay is longer; ESCDELAY wins over both.
split_up() {  # label, Esc delay in ms, gap in ms, environment
  rm -f gaps.txt
  shell "clear"
  tm send-keys -t t "env -u SSH_CONNECTION -u SSH_TTY -u ESCDELAY $4 $build/split_relay $3 gaps.txt $lbe; echo status=\$?" Enter
  expect_line 1 "Addr: 0000-0007   File: [no name]"
  tm send-keys -t t g 10 Enter
  expect_line 1 "0010 0000000000000000:00 [00]"
  tm send-keys -t t C-]
  local outcome=""
  for _ in $(seq 200); do
    case "$(tm capture-pane -p -t t | sed -n 1p)" in
      "0008 0000000000000000:00 [00]"*) outcome=up; break ;;
      "Addr: 0000-0007"*) outcome=esc; break ;;
    esac
    sleep 0.1
  done
  [ -n "$outcome" ] || fail "$1, gap $3 ms: neither Up nor Esc"
  local kept
  kept=$(cat gaps.txt)
  echo "$1 (Esc delay $2 ms): gap $3 ms, kept ${kept} ms: $outcome"
  # Under the delay it must be Up; beyond it either is right (lbe may read both at once).
  if awk -v kept="$kept" -v delay="$2" 'BEGIN { exit !(kept < delay - 5) }'; then
    [ "$outcome" = up ] || fail "$1: a gap of $kept ms under the Esc delay was not Up"
  fi
  if [ "$outcome" = up ]; then
    tm send-keys -t t Escape
    expect_line 1 "Addr: 0000-0007   File: [no name]"
  fi
  # The rest of the cut key was no key: the menu still takes a command. The relay sends the Q
  # after that rest, which read as keys would have opened "Adress:" and taken the Q as typed text.
  tm send-keys -t t q
  expect_line 3 "Are you sure? (Y/N)"
  expect_line 1 "Addr: 0000-0007   File: [no name]"
  tm send-keys -t t y
  expect "status=0"
}
for gap in 10 40 80 200; do
  split_up local 25 "$gap" ""
  split_up ssh 120 "$gap" "SSH_CONNECTION='127.0.0.1 50000 127.0.0.1 22'"
done
split_up "ssh with ESCDELAY=25" 25 40 "SSH_TTY=/dev/pts/0 ESCDELAY=25"
echo "keys, pastes and cut keys in a real terminal: ok"

#!/usr/bin/env bash
# The console layer on a real terminal (tmux): text, colours and wide characters drawn, the key
# codes of the keys a user presses, a typed line with its editing and a paste, a small terminal,
# Ctrl-Z and back, and that the terminal is given back as it was after Q and after SIGTERM,
# SIGHUP and Ctrl-C: the same `stty -g`, the alternate screen left, keypad and paste modes off.
set -u

build=$(cd "${1:?usage: console_demo_test.sh BUILD_DIR}" && pwd)
demo="$build/console_demo"
[[ -x $demo ]] || { echo "FAIL: $demo is not built"; exit 1; }

work=$(mktemp -d)
# The server's socket in the working folder: tmux leaves it behind when its server ends.
tmux_cmd=(tmux -S "$work/tmux" -f /dev/null)
cleanup() {
  "${tmux_cmd[@]}" kill-server 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- screen:"
  "${tmux_cmd[@]}" capture-pane -p 2>/dev/null
  exit 1
}

screen() { "${tmux_cmd[@]}" capture-pane -p; }
send() { "${tmux_cmd[@]}" send-keys "$@"; }
pane_flags() {
  "${tmux_cmd[@]}" display -p '#{alternate_on} #{keypad_flag} #{keypad_cursor_flag}'
}

# Polls the screen until it shows `text` (fixed string), for at most 10 seconds.
wait_for() {
  local deadline=$((SECONDS + 10))
  until screen | grep -qF -- "$1"; do
    ((SECONDS < deadline)) || fail "timed out waiting for: $1"
    sleep 0.05
  done
}

wait_gone() {
  local deadline=$((SECONDS + 10))
  while screen | grep -qF -- "$1"; do
    ((SECONDS < deadline)) || fail "still shown: $1"
    sleep 0.05
  done
}

row() { screen | sed -n "${1}p"; }

# Waits until the shell's foreground command is $1 (its name once started).
wait_for_command() {
  local deadline=$((SECONDS + 10))
  until [[ $("${tmux_cmd[@]}" display -p '#{pane_current_command}') == "$1" ]]; do
    ((SECONDS < deadline)) || fail "the shell does not run $1"
    sleep 0.05
  done
}

# Runs a command line in the shell and waits until it has run. The mark it ends with is worked
# out by the shell, so the echo of the typed line never shows it, and it is new every time.
marks=0
run_line() {
  marks=$((marks + 1))
  send "$1; echo line-done-\$(($marks + 1000))." Enter
  wait_for "line-done-$((marks + 1000))."
}
# The shell's output that the demo's alternate screen hides and that is seen again once it is
# left: worked out by the shell, so the typed command line never shows it.
shell_text='shell-text-$((6 * 7))'
shown_text='shell-text-42'

"${tmux_cmd[@]}" new-session -d -x 100 -y 30 "env PS1='$ ' TERM=xterm-256color HISTFILE= bash --norc --noprofile -i" ||
  fail "tmux did not start"
# The shell's line editor must not switch bracketed paste itself, or a mode left on would hide.
send "bind 'set enable-bracketed-paste off'" Enter
run_line "stty -g > '$work/stty.before'"
flags_before=$(pane_flags)
[[ $flags_before == "0 0 0" ]] || fail "unexpected modes before the demo: $flags_before"

# Starts the demo in the pane with its pid in a file; `env` sets the demo's environment ($1).
# With $2, in a subshell that outlives an ending signal: after a job that died of a signal, the
# interactive shell puts its own terminal modes back, which would hide modes the demo left.
start_demo() {
  local run="bash -c 'echo \$\$ > \"$work/pid\"; exec env $1 \"$demo\"'; echo demo-exit=\$?"
  [[ -z ${2:-} ]] || run="(trap : INT; $run)"
  send "clear; echo $shell_text; $run" Enter
  wait_for "lbe console demo"
  wait_for "Bottom row"  # the last row of the first frame: the rows above it are drawn too
}

# The terminal is as it was: same stty, alternate screen left, keypad modes off.
expect_terminal_given_back() {
  wait_for "demo-exit=$1"
  wait_for "$shown_text"
  run_line "stty -g > '$work/stty.after'"
  cmp -s "$work/stty.before" "$work/stty.after" || fail "stty -g differs after $2"
  local flags
  flags=$(pane_flags)
  [[ $flags == "$flags_before" ]] || fail "modes after $2: '$flags', before: '$flags_before'"
  # Bracketed paste must be off again: a paste into cat shows no paste marks.
  send "clear; cat -v" Enter
  wait_for_command cat
  "${tmux_cmd[@]}" set-buffer "paste-probe"
  "${tmux_cmd[@]}" paste-buffer -p
  send Enter C-d
  wait_for "paste-probe"
  screen | grep -qF "[200~" && fail "bracketed paste still on after $2"
  run_line "clear"
}

# --- Drawing and keys.
start_demo ""
[[ $(pane_flags) == "1 1 1" ]] || fail "demo runs without the alternate screen and keypad mode"
screen | grep -qF "$shown_text" && fail "alternate screen not in use"
[[ $(row 2) == "Colours: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15"* ]] || fail "colour row: $(row 2)"
[[ $(row 3) == "Wide: 日本語| Placeholder: a?z|"* ]] || fail "wide and placeholder row: $(row 3)"
[[ $(row 25) == "Bottom row"* ]] || fail "bottom row: $(row 25)"
coloured=$("${tmux_cmd[@]}" capture-pane -e -p | sed -n 1p)
[[ $coloured == *$'\e[93mlbe console demo'* ]] || fail "title not bright yellow: $(printf %q "$coloured")"
placeholder=$("${tmux_cmd[@]}" capture-pane -e -p | sed -n 3p)
[[ $placeholder == *$'a\e[7m?'* ]] || fail "placeholder not reversed: $(printf %q "$placeholder")"

count=0
expect_key() {  # tmux key name, expected code
  count=$((count + 1))
  send "$1"
  wait_for "Key $count: $2"
}
expect_key Up 38
expect_key Down 40
expect_key Left 37
expect_key Right 39
expect_key Home 36
expect_key End 35
expect_key PPage 33
expect_key NPage 34
expect_key IC 45
expect_key DC 46
expect_key BSpace 8
expect_key C-h 8
expect_key Escape 27
expect_key Enter 13
expect_key Tab 9
expect_key a 65
expect_key A 65
expect_key z 90
expect_key 0 48
expect_key 9 57
expect_key '!' 49
expect_key '@' 50
expect_key '#' 51
expect_key '$' 52
expect_key '%' 53
expect_key '^' 54
expect_key '&' 55
expect_key '*' 56
expect_key '(' 57
expect_key ')' 48
expect_key F1 112
expect_key F12 123
expect_key KP1 97
expect_key KP0 96
expect_key C-a 17
expect_key S-Up 38
expect_key C-Right 39
# Alt+x is Esc then X: two keys, drawn as one frame.
send M-x
count=$((count + 2))
wait_for "Key $count: 88"

# A typed line: echoed, edited, returned; then a paste arrives as typed text.
expect_key L 76
wait_for "Line:"
send -l "héllo 日本"
wait_for "Line: héllo 日本"
send Left Left BSpace Enter
wait_for "Typed: [héllo日本]"
expect_key L 76
"${tmux_cmd[@]}" set-buffer "pasted 123"
"${tmux_cmd[@]}" paste-buffer -p
wait_for "Line: pasted 123"
send Enter
wait_for "Typed: [pasted 123]"

# A terminal smaller than 80 x 25 shows a hint; back to size, the hint goes.
"${tmux_cmd[@]}" resize-window -x 70 -y 20
wait_for "Enlarge the terminal to 80 x 25 (now 70 x 20)"
"${tmux_cmd[@]}" resize-window -x 100 -y 30
wait_gone "Enlarge the terminal"
wait_for "Bottom row"

# Ctrl-Z gives the terminal back while stopped; fg redraws and keys work again.
send C-z
wait_for "Stopped"
run_line "stty -g > '$work/stty.stopped'"
cmp -s "$work/stty.before" "$work/stty.stopped" || fail "stty -g differs while stopped"
[[ $(pane_flags) == "$flags_before" ]] || fail "modes while stopped: $(pane_flags)"
send "clear; echo $shell_text; fg; echo demo-exit=\$?" Enter
wait_for "lbe console demo"
wait_for "Bottom row"
expect_key b 66

send q
expect_terminal_given_back 0 "Q"

# --- Every ending signal gives the terminal back; the demo dies of the signal.
for signal in TERM HUP INT; do
  start_demo "" in-subshell
  send x
  wait_for "Key 1: 88"
  if [[ $signal == INT ]]; then
    send C-c
    expected=130
  else
    kill -s "$signal" "$(cat "$work/pid")"
    expected=$((128 + $(kill -l "$signal")))
  fi
  expect_terminal_given_back "$expected" "SIG$signal"
done

# --- NO_COLOR: no colours, intensity as bold.
start_demo "NO_COLOR=1"
plain=$("${tmux_cmd[@]}" capture-pane -e -p | sed -n 1,2p)
[[ $plain == *$'\e[1mlbe console demo'* ]] || fail "NO_COLOR title not bold: $(printf %q "$plain")"
[[ $plain == *$'\e[3'[0-7]m* || $plain == *$'\e[9'[0-7]m* ]] && fail "colours despite NO_COLOR"
send q
expect_terminal_given_back 0 "Q with NO_COLOR"

# --- A locale that is not UTF-8: the console still works in UTF-8.
start_demo "LC_ALL=C LANG=C"
[[ $(row 3) == "Wide: 日本語| Placeholder: a?z|"* ]] || fail "wide row under LC_ALL=C: $(row 3)"
send q
expect_terminal_given_back 0 "Q with LC_ALL=C"

# --- A terminal that cannot place the cursor is refused and left alone.
send "clear; echo $shell_text; TERM=dumb '$demo'; echo demo-exit=\$?" Enter
wait_for "cannot place the cursor"
expect_terminal_given_back 1 "refusing TERM=dumb"

echo "PASS: console_demo on a real terminal"

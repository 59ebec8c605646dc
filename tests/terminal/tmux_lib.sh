# Shared by the real-terminal tests: a private tmux server, a temporary working folder, and
# bounded waits on what the pane shows. Source it with the build folder as $1 and a short name.
#   source "$(dirname "$0")/tmux_lib.sh" "$1" name
# The test then runs in that working folder, which goes with everything written there.
set -euo pipefail
build=$(cd "$1" && pwd)
lbe="$build/lbe"
work=$(mktemp -d)
cd "$work"
# The user's state folder, where saves keep their journals: the test's own, never the real one.
export XDG_STATE_HOME="$work/state"
export HOME="$work/state/home"  # nor the real home
mkdir -p "$HOME"
# The server's socket in the working folder too: tmux leaves it behind when its server ends.
socket="$work/tmux-$2"
# A UTF-8 locale for tmux, so the Japanese messages are captured as they are.
tm() { LC_ALL=C.UTF-8 tmux -S "$socket" -f /dev/null "$@"; }
cleanup() { tm kill-server 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
pane=t  # the pane that expect and the others watch

fail() {
  echo "FAIL: $*" >&2
  echo "--- screen ---" >&2
  tm capture-pane -p -t "$pane" >&2 2>/dev/null || true
  exit 1
}
# Waits up to 20 s for the screen to hold the text.
expect() {
  for _ in $(seq 200); do
    grep -qF -- "$1" <<< "$(tm capture-pane -p -t "$pane")" && return 0
    sleep 0.1
  done
  fail "expected on screen: $1"
}
# Waits up to 20 s for the text to leave the screen.
expect_gone() {
  for _ in $(seq 200); do
    grep -qF -- "$1" <<< "$(tm capture-pane -p -t "$pane")" || return 0
    sleep 0.1
  done
  fail "still on screen: $1"
}
# Waits up to 20 s for row $1 (1-based) to read exactly $2, trailing blanks ignored.
expect_line() {
  local row=""
  for _ in $(seq 200); do
    row=$(tm capture-pane -p -t "$pane" | sed -n "$1p" | sed 's/ *$//')
    [ "$row" = "$2" ] && return 0
    sleep 0.1
  done
  fail "row $1: expected '$2', got '$row'"
}
hex() { od -An -v -tx1 "$1" | tr -d ' \n'; }
# Runs a shell command line in the pane and waits until it has finished.
marks=0
shell() {
  # The mark is worked out by the shell, so the typed line shows only the sum; and each one is
  # new, so no output of an earlier command line shows it either.
  marks=$((marks + 1))
  tm send-keys -t t "$1; echo done-\$(($marks + 1000))." Enter
  expect "done-$((marks + 1000))."
}
# A shell in a 100 x 30 pane, in the working folder, with its terminal modes in before.txt.
start_shell() {
  # No history file: a shell killed with the server would write one into the folder being
  # removed.
  tm new-session -d -s t -x 100 -y 30 -c "$work" "HISTFILE= bash --norc --noprofile"
  shell "PS1='$ '; stty -g > before.txt"
}
# Fails unless the terminal's modes are as they were when the shell started.
expect_modes_given_back() {
  shell "stty -g > after.txt"
  cmp -s "$work/before.txt" "$work/after.txt" || fail "terminal modes not given back: $1"
}

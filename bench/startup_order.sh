#!/usr/bin/env bash
# Writes bench/startup_order.txt, the order in which the linker lays out lbe's functions
# (CMakeLists.txt hands it to lld): first those that start-up runs up to the first frame, then
# the C library's string functions of every processor kind grouped by kind (start-up picks one
# kind, so one group is touched), then those that typing, moving, undo and leaving the edit mode
# run. The kernel maps a program's pages 64 KiB around each first touch: laid out so, what lbe
# runs fills a few hundred KiB instead of touching nearly every 64 KiB of its text.
#
# The functions that ran are read off callgrind, with lbe in a 100 x 30 tmux pane on a 64 KiB file.
# Run it again when start-up or typing changes much: a function missing from the list costs
# memory, never correctness.
#   bash bench/startup_order.sh [BUILD_FOLDER]      (default: build-order, a Release build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-order}
for tool in valgrind callgrind_annotate callgrind_control tmux nm; do
  command -v "$tool" > /dev/null || {
    echo "startup_order.sh needs $tool" >&2
    exit 1
  }
done
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF > /dev/null
cmake --build "$build" --target lbe > /dev/null

work=$(mktemp -d)
tmux_cmd=(tmux -L "lbe-order-$$" -f /dev/null)
cleanup() {
  "${tmux_cmd[@]}" kill-server 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
head -c 65536 /dev/urandom > "$work/64k.bin"

screen() { "${tmux_cmd[@]}" capture-pane -p; }
# Until the screen shows the regular expression $1; lbe runs slowly under valgrind.
wait_for() {
  local deadline=$((SECONDS + 180))
  until screen | grep -qE -- "$1"; do
    if ((SECONDS >= deadline)); then
      echo "timed out waiting for: $1" >&2
      screen >&2
      exit 1
    fi
    sleep 0.2
  done
}
send() { "${tmux_cmd[@]}" send-keys "$@"; }

"${tmux_cmd[@]}" new-session -d -x 100 -y 30 \
  "cd '$work' && echo \$\$ > pid && exec env -i PATH=/usr/bin:/bin HOME='$work' \
     TERM=xterm-256color LANG=C.UTF-8 valgrind --tool=callgrind --demangle=no \
     --callgrind-out-file='$work/calls' --log-file='$work/valgrind.log' '$build/lbe' 64k.bin"
"${tmux_cmd[@]}" set-option -g remain-on-exit on > /dev/null
wait_for '^Addr: 0000-FFFF'
sleep 1  # the first frame is out; let lbe reach its wait for a key
callgrind_control -d "$(cat "$work/pid")" > /dev/null 2>&1

send E
wait_for '^0000 '
send -l 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
wait_for '^0020 '
send Right Right Right Left Down Down Up NPage PPage Home End Home
send U U U Y R T
send Escape
wait_for '^Edit   Goto'
send Q
wait_for 'Are you sure'
send Y
deadline=$((SECONDS + 180))
until [[ $("${tmux_cmd[@]}" display -p '#{pane_dead}') == 1 ]]; do
  ((SECONDS < deadline)) || {
    echo "lbe did not end" >&2
    exit 1
  }
  sleep 0.2
done

ran() {
  callgrind_annotate --inclusive=no --threshold=100 "$1" 2> /dev/null |
    sed -n 's/^ *[0-9,]* ([ 0-9.]*%) *???:\([^ ]*\) .*/\1/p' | sort -u
}
ran "$work/calls.1" > "$work/start"
ran "$work/calls" > "$work/typing"
nm "$build/lbe" > "$work/symbols"

python3 - "$work" > "$root/bench/startup_order.txt" << 'EOF'
import collections, re, sys
work = sys.argv[1]
start = open(f'{work}/start').read().split()
typing = open(f'{work}/typing').read().split()
kinds = collections.Counter()
resolvers = []
for line in open(f'{work}/symbols'):
    parts = line.split()
    if len(parts) == 3:
        kinds[parts[2]] += 1
        if parts[1] == 'i' or parts[2].endswith('_ifunc'):
            resolvers.append(parts[2])  # every one runs at start, when the program relocates itself
# A C name that several objects define (a static helper) would pull in every one of them.
def usable(name):
    return kinds[name] == 1 or (kinds[name] > 1 and name.startswith('_Z'))
# The string functions come in one version per processor kind; valgrind shows its own pick.
variant = re.compile(r'^(__\w+?)_(sse2|ssse3|sse4_1|sse4_2|avx|avx2|evex|avx512)')
families = {variant.match(n).group(1) for n in start + typing if variant.match(n)}
groups = ['evex', 'avx512', 'avx2_rtm', 'avx_rtm', 'rtm', 'avx2', 'avx', 'sse4', 'ssse3', 'sse2']
def group(name):
    rest = name[len(variant.match(name).group(1)):]
    return next((i for i, g in enumerate(groups) if g in rest), len(groups))
versions = sorted((n for n in kinds if variant.match(n) and variant.match(n).group(1) in families),
                  key=lambda n: (group(n), n))
print("# Written by bench/startup_order.sh: the order of lbe's functions for the linker.")
versions_set = set(versions)
seen = set()
# What runs before main and valgrind leaves unnamed or takes another way round.
before_main = ['_start', 'deregister_tm_clones', 'register_tm_clones', '__do_global_dtors_aux',
               'frame_dummy', 'pthread_mutex_lock', 'pthread_mutex_unlock']
for name in (before_main + [n for n in start if not variant.match(n)] + sorted(resolvers) +
             versions + [n for n in typing if not variant.match(n)]):
    if name not in seen and (usable(name) or name in versions_set):
        seen.add(name)
        print(name)
EOF
echo "bench/startup_order.txt: $(grep -vc '^#' "$root/bench/startup_order.txt") functions"

#!/usr/bin/env bash
# Every figure of lbe in one run, on the real binary through a pseudo-terminal (80 x 25):
# start-up and peak memory with no file, a 64 KiB file and a sparse 1 GiB file; CPU while idle;
# bytes per key in the edit mode; a burst of 131,072 digits, typed and pasted; loading and
# saving alone; lines checked per second by lbe --check; reading and writing Intel HEX. Figures
# only, no verdicts.
#   bash bench/run.sh [BUILD_FOLDER]      (default: build-bench, a Release build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" --target lbe terminal_bench edit_bench file_load_bench file_save_bench \
  listing_check_bench typo_bench byte_search_bench records_bench record_load_save_bench \
  convert_bench > /dev/null
files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
head -c 65536 /dev/urandom > "$files/64k.bin"
truncate -s 1G "$files/sparse-1g.bin"

echo "== lbe waiting for a key for 10 s, no file"
"$build/terminal_bench" --seconds=10 "$build/lbe"
echo
echo "== lbe with a 64 KiB file"
"$build/terminal_bench" --seconds=1 "$build/lbe" "$files/64k.bin"
echo
echo "== lbe with a sparse 1 GiB file"
"$build/terminal_bench" --seconds=1 "$build/lbe" "$files/sparse-1g.bin"
echo
echo "== the edit mode"
"$build/edit_bench" "$build/lbe"
echo
echo "== loading alone"
"$build/file_load_bench"
echo
echo "== saving alone"
"$build/file_save_bench"
echo
echo "== finding bytes"
"$build/byte_search_bench"
echo
echo "== lbe --check"
"$build/listing_check_bench" "$build/lbe"
echo
echo "== how well lbe --check points at a typist's mistake"
"$build/typo_bench"
echo
echo "== Intel HEX: the record codec alone"
"$build/records_bench"
echo
echo "== Intel HEX through the editor's load and save"
"$build/record_load_save_bench"
echo
echo "== lbe --convert of a 16 MiB image"
"$build/convert_bench" "$build/lbe"

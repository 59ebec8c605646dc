#!/usr/bin/env bash
# lbe --list and lbe --check on the real binary, without a terminal: the round trip on a system
# binary and on random data, faults and their lines, exit statuses, and what is (not) written.
#   tests/listing_check.sh PATH_TO_LBE
set -uo pipefail
lbe=$1
listings=$(cd "$(dirname "$0")/listings" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
export XDG_STATE_HOME="$work/state"  # where saves keep their journals: not the real one
export HOME="$work/.home"  # nor the real home
mkdir -p "$HOME"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# expect_status STATUS COMMAND...: runs COMMAND with no terminal; its output in out, err.
expect_status() {
  local want=$1
  shift
  "$@" < /dev/null > out 2> err
  local got=$?
  [ "$got" = "$want" ] || fail "$* exited with $got, not $want; stderr: $(head -c 400 err)"
}

# Round trips: --check takes what --list prints, and --list of what --check wrote prints it back.
for source in /bin/ls /usr/bin/env; do
  [ -r "$source" ] && head -c 65536 "$source" > "sys-$(basename "$source").bin"
done
head -c 65536 /dev/urandom > random-64k.bin
head -c 12345 /dev/urandom > random-odd.bin
: > empty.bin
for file in sys-*.bin random-64k.bin random-odd.bin; do
  for start in "" /A8000 /AFFF8 -a:1234; do
    expect_status 0 "$lbe" --list $start "$file"
    mv out listed.txt
    [ -s err ] && fail "--list $start $file wrote to stderr: $(head -c 200 err)"
    expect_status 0 "$lbe" --check listed.txt -o back.bin
    lines=$(wc -l < listed.txt)
    summary="$lines lines, 0 faults"
    [ "$lines" = 1 ] && summary="1 line, 0 faults"
    [ "$(cat err)" = "$summary" ] || fail "--check of --list $start $file: $(head -c 300 err)"
    [ "$(stat -c %s back.bin)" = $((lines * 8)) ] || fail "back.bin of $file is not whole lines"
    expect_status 0 "$lbe" --list $start back.bin
    cmp -s out listed.txt || fail "--list $start of the written $file differs"
    # Typed with CR LF line ends, lower case and the blanks of a printed listing: the same bytes.
    awk '{ split($2, d, ":"); t = $1 ":"
           for (i = 1; i <= 16; i += 2) t = t " " substr(d[1], i, 2)
           printf "%s - %s\r\n", tolower(t), d[2] }' listed.txt > typed.txt
    expect_status 0 "$lbe" --check typed.txt --output=typed.bin
    cmp -s back.bin typed.bin || fail "the typed form of $file ($start) reads other bytes"
  done
done
# Without /A the file comes back as it was, up to its last whole line.
"$lbe" --list random-64k.bin | "$lbe" --check /dev/stdin -o again.bin 2> /dev/null ||
  fail "--check from a pipe"
cmp -s random-64k.bin again.bin || fail "random-64k.bin did not come back as it was"
"$lbe" --list random-odd.bin > odd.txt && "$lbe" --check odd.txt -o odd-back.bin 2> /dev/null
cmp -s <(head -c 12345 odd-back.bin) random-odd.bin || fail "random-odd.bin's bytes changed"
[ "$(stat -c %s odd-back.bin)" = 12352 ] || fail "random-odd.bin is not padded to a whole line"

# Sum rows: --list --sums=N closes every N lines and the last block with a row of column sums;
# --check reads them back, never as bytes, and names what the line sums alone cannot.
"$lbe" --list --sums=5 random-odd.bin > odd-summed.txt && "$lbe" --check odd-summed.txt 2> err
[ "$(tail -n 1 odd-summed.txt | cut -c 1-5)" = "SUM  " ] || fail "--sums=5: no row after the last"
[ "$(cat err)" = "1544 lines, 309 sum rows, 0 faults" ] || fail "--sums=5: $(cat err)"
if [ -r sys-ls.bin ]; then
  expect_status 0 "$lbe" --list --sums=16 sys-ls.bin
  mv out summed.txt
  expect_status 0 "$lbe" --check summed.txt -o summed.bin
  [ "$(cat err)" = "8192 lines, 512 sum rows, 0 faults" ] || fail "--sums=16: $(cat err)"
  cmp -s summed.bin sys-ls.bin || fail "a listing with sum rows read other bytes"
  # One byte changed (0x009B): its line fails, and the sum row names the byte and its value in
  # the line's report, with no report of its own.
  line=$(grep '^0098 ' summed.txt)
  old=${line:11:2} new=5A
  [ "$old" = 5A ] && new=A5
  sed "s/^0098 \(.\{6\}\)../0098 \1$new/" summed.txt > one-byte.txt
  expect_status 1 "$lbe" --check one-byte.txt
  [ "$(grep -c "^one-byte.txt:" err)" = 1 ] &&
    grep -qF "one-byte.txt:21: 0098: checksum " err &&
    grep -qF "; by the sum row, 009B is $old, not $new" err ||
    fail "one byte changed: $(cat err)"
  # Two bytes of a line swapped: no line sum sees it; the columns name the line.
  swapped=$(awk '$1 != "SUM" && NR > 40 && substr($2, 1, 2) != substr($2, 3, 2) { print $1; exit }' \
    summed.txt)
  sed "s/^$swapped \(..\)\(..\)/$swapped \2\1/" summed.txt > swapped.txt
  block=$(printf '%04X-%04X' $((0x$swapped & ~0x7F)) $((0x$swapped | 0x7F)))
  expect_status 1 "$lbe" --check swapped.txt
  [ "$(grep -c "^swapped.txt:" err)" = 1 ] &&
    grep -qF "SUM $block: column +0 " err && grep -qF ", column +1 " err &&
    grep -qF "every line's sum checks out: perhaps $swapped and " err ||
    fail "two bytes swapped in line $swapped: $(cat err)"
fi

# The output may not be the listing itself.
cp odd.txt self.txt
expect_status 2 "$lbe" --check self.txt -o self.txt
cmp -s self.txt odd.txt || fail "the listing was overwritten by its own bytes"
# A listing kept from DOS days ends with Ctrl-Z.
printf '%s\r\n\x1a' "$(head -n 1 odd.txt)" > dos.txt
expect_status 0 "$lbe" --check dos.txt
[ "$(cat err)" = "1 line, 0 faults" ] || fail "Ctrl-Z at the end: $(cat err)"
# On a terminal --list prints its lines and nothing that would steer the terminal.
if command -v script > /dev/null; then
  script -qec "'$lbe' --list random-odd.bin" /dev/null < /dev/null > tty.txt 2>&1 ||
    fail "--list on a terminal exited with $?"
  grep -q $'\e' tty.txt && fail "--list wrote escape sequences to a terminal"
  [ "$(tr -d '\r' < tty.txt)" = "$(cat odd.txt)" ] || fail "--list on a terminal printed other lines"
fi

# An empty range prints nothing; a listing without entries checks out and writes nothing but
# an empty file.
expect_status 0 "$lbe" --list empty.bin
[ -s out ] && fail "--list of an empty file printed something"
printf '# nothing yet\r\n\r\n' > comments.txt
expect_status 0 "$lbe" --check comments.txt -o none.bin
[ "$(cat err)" = "0 lines, 0 faults" ] || fail "empty listing: $(cat err)"
[ -f none.bin ] && [ ! -s none.bin ] || fail "empty listing did not write an empty file"

# Faults: one stderr line each, with the listing's name and line number, then the summary;
# nothing written, an existing output file kept.
{
  echo "; loader"
  echo "0100 3E00D3FE21000011:41"
  echo "0108 3E00D3FE21000011:A6"
  echo "0110 3E00D3FE210000:41"
  echo "0120 3E00D3FE21000011:41"
  echo "0128 3E O0 D3 FE 21 00 00 11:41"
  printf '0130 3E00D3FE21000011:41'
} > faulty.txt
echo "kept" > kept.bin
expect_status 1 "$lbe" --check faulty.txt -o kept.bin
expected="faulty.txt:3: 0108: checksum A6 typed, 41 computed
faulty.txt:4: 0110: 7 bytes, 8 expected; perhaps a byte 11 left out: the checksum cannot tell where
faulty.txt:5: 0120: line 0118 missing
faulty.txt:6: 0128: not a hexadecimal digit 'O'; read as 0, the line checks out
lbe: nothing written to kept.bin
6 lines, 4 faults"
[ "$(cat err)" = "$expected" ] || fail "faults reported as: $(cat err)"
[ "$(cat kept.bin)" = kept ] || fail "a listing with faults changed the output file"
[ -s out ] && fail "--check wrote to standard output"
expect_status 1 "$lbe" --check faulty.txt
[ "$(tail -n 1 err)" = "6 lines, 4 faults" ] || fail "summary without -o: $(tail -n 1 err)"

# Binary garbage and a UTF-16 listing: clear messages, no crash.
expect_status 1 "$lbe" --check random-64k.bin
tail -n 1 err | grep -qE '^[0-9]+ lines?, [0-9]+ faults?$' || fail "garbage: $(tail -n 1 err)"
LC_ALL=C grep -q $'[\x01-\x08\x0b\x0c\x0e-\x1f\x7f]' err && fail "a control character reached stderr"
printf '\xff\xfe0\x001\x00' > utf16.txt
expect_status 2 "$lbe" --check utf16.txt
grep -q "UTF-16" err || fail "UTF-16 listing: $(cat err)"

# Unreadable listings, bad outputs and wrong command lines: exit status 2.
# Every mode that reads a file words one it cannot find as the file layer does.
for mode in "--list missing.txt" "--check missing.txt" "--convert missing.txt out.hex"; do
  # shellcheck disable=SC2086
  "$lbe" $mode < /dev/null > out 2> err
  [ "$(cat err)" = "lbe: 指定されたファイルが見つかりません "$'\n'"[missing.txt]" ] ||
    fail "lbe $mode: $(cat err)"
done
expect_status 2 "$lbe" --check missing.txt
expect_status 2 "$lbe" --check .
grep -q "^lbe: 指定されたファイルが見つかりません $" err || fail "listing that is a folder: $(cat err)"
expect_status 2 "$lbe" --check listed.txt -o no/such/folder.bin
grep -q "^lbe: 指定されたパスが見つかりません$" err || fail "output in a missing folder: $(cat err)"
grep -q "^\[no/such/folder.bin\]$" err || fail "output in a missing folder: $(cat err)"
expect_status 2 "$lbe" --check listed.txt -o "a:b.bin"
grep -q "^lbe: パスの形式がサポートされていません$" err || fail "output with a colon: $(cat err)"
for wrong in "--check" "--list" "--check listed.txt -o" "--check listed.txt out.bin" \
  "--list --check listed.txt" "random-64k.bin -o x.bin" "--lenght=4000 random-64k.bin" \
  "--list --LIST random-64k.bin" "--list --sums=0 random-64k.bin" "--check listed.txt --sums=8"; do
  # shellcheck disable=SC2086
  expect_status 2 "$lbe" $wrong
  grep -q "^lbe: " err || fail "$wrong: $(cat err)"
done
[ -e out.bin ] || [ -e x.bin ] && fail "a wrong command line wrote a file"
# An unknown option is shown without the control characters it holds.
expect_status 2 "$lbe" $'--x\e[2J\a' random-64k.bin
[ "$(head -n 1 err)" = "lbe: unknown option '--x?[2J?'" ] || fail "unknown option: $(cat -v err)"

# --list of a file that cannot be read: the file layer's message, status 1, no stop report.
expect_status 1 "$lbe" --list missing.bin
[ "$(head -n 1 err)" = "lbe: 指定されたファイルが見つかりません " ] || fail "--list missing: $(cat err)"
grep -q "Exception" err && fail "--list gave a stop report"
[ -s out ] && fail "--list of a missing file printed lines"

# A listing writes nothing: a journal planted beside the file is left alone, and said so.
head -c 64 /dev/urandom > planted.bin
cp planted.bin planted.orig
head -c 5000 /dev/urandom > planted.bin.lbe-journal
cp planted.bin.lbe-journal journal.orig
expect_status 0 "$lbe" --list planted.bin
grep -q "^lbe: Left alone planted.bin.lbe-journal: it is not a journal of lbe" err ||
  fail "--list with a planted journal: $(cat err)"
cmp -s planted.bin planted.orig && cmp -s planted.bin.lbe-journal journal.orig ||
  fail "--list changed the file or the journal"
[ "$(wc -l < out)" = 8 ] || fail "--list with a planted journal listed $(wc -l < out) lines"

# --check -o with one fault leaves an existing output file exactly as it was.
printf '0000 0102030405060708:24\n0008 0102030405060708:25\n' > one-fault.txt
printf 'kept' > kept.bin
expect_status 1 "$lbe" --check one-fault.txt -o kept.bin
[ "$(cat kept.bin)" = kept ] || fail "--check -o with a fault changed the output file"
grep -q "^lbe: nothing written to kept.bin$" err || fail "--check with a fault: $(cat err)"

# --convert against GNU objcopy: what lbe writes converts back to the same bytes, what objcopy
# writes converts here to the same bytes, gaps filled alike; --check -o writes records too.
for pair in ihex:hex srec:s19; do
  bfd=${pair%:*} suffix=${pair#*:}
  for file in sys-*.bin random-64k.bin random-odd.bin; do
    expect_status 0 "$lbe" --convert "$file" "ours.$suffix"
    objcopy -I "$bfd" -O binary "ours.$suffix" ours.bin && cmp -s ours.bin "$file" ||
      fail "objcopy reads other bytes from lbe's $bfd of $file"
    objcopy -I binary -O "$bfd" "$file" "theirs.$suffix"
    expect_status 0 "$lbe" --convert "theirs.$suffix" theirs.bin
    cmp -s theirs.bin "$file" || fail "lbe reads other bytes from objcopy's $bfd of $file"
  done
  # Records left out are gaps: --fill fills them as objcopy's --gap-fill does.
  awk 'NR % 5 != 3 || /^S0|^S[789]|^:00000001/' "theirs.$suffix" > "gaps.$suffix"
  objcopy -I "$bfd" -O binary --gap-fill 0xFF "gaps.$suffix" gaps-theirs.bin
  expect_status 0 "$lbe" --convert "gaps.$suffix" --fill=FF gaps-ours.bin
  cmp -s gaps-ours.bin gaps-theirs.bin || fail "--fill=FF of gaps.$suffix differs from objcopy's"
  expect_status 0 "$lbe" --check listed.txt -o "checked.$suffix"
  objcopy -I "$bfd" -O binary "checked.$suffix" checked.bin && cmp -s checked.bin back.bin ||
    fail "--check -o checked.$suffix holds other bytes"
  grep -qE '^(:..|S1..)1230' "checked.$suffix" || fail "checked.$suffix does not start at 1230"
done
# --offset picks which 64 KiB of the address space a record file loads.
objcopy -I binary -O ihex --change-addresses 0x12345 random-odd.bin high.hex
expect_status 0 "$lbe" --convert --offset=10000 high.hex high.bin
cmp -s high.bin random-odd.bin || fail "--offset=10000 did not load the second 64 KiB"
expect_status 1 "$lbe" --convert --offset=0 high.hex nothing.bin
[ "$(cat err)" = "lbe: high.hex: no bytes at addresses 0000 to FFFF; nothing written to nothing.bin" ] ||
  fail "--convert of a file with nothing in the window: $(cat err)"
[ -e nothing.bin ] && fail "--convert of a file with nothing in the window wrote its output"
# Without --offset the whole file is converted, from its lowest address, which it names.
expect_status 0 "$lbe" --convert high.hex whole.bin
cmp -s whole.bin random-odd.bin || fail "--convert of the whole high.hex read other bytes"
[ "$(cat err)" = "lbe: whole.bin starts at address 12345" ] || fail "whole high.hex: $(cat err)"
expect_status 0 "$lbe" --convert random-odd.bin --format=srec as-srec.hex
[ "$(head -c 2 as-srec.hex)" = S0 ] || fail "--format=srec did not name the output's format"
printf ':0100000041BF\n:00000001FF\n' > bad.hex
expect_status 1 "$lbe" --convert bad.hex bad.bin
[ "$(cat err)" = "lbe: Line 1: checksum BF typed, BE computed
[bad.hex]" ] ||
  fail "--convert of a bad record: $(cat err)"
[ -e bad.bin ] && fail "--convert of a bad record wrote its output"

# A new output is written whole and linked in: no state folder, no journal, nothing beside it.
mkdir fresh
(cd fresh && XDG_STATE_HOME="$PWD/state" "$lbe" --check ../listed.txt -o out.bin 2> /dev/null &&
  XDG_STATE_HOME="$PWD/state" "$lbe" --convert out.bin out.hex)
[ "$(ls -A fresh | tr '\n' ' ')" = "out.bin out.hex " ] ||
  fail "new outputs left more behind: $(ls -A fresh)"
cmp -s fresh/out.bin back.bin || fail "--check -o to a new file wrote other bytes"

# New MLX: the two programs (machine code built from lbe's own source, one loaded at C000, one at
# 0801 as the magazines' BASIC-started programs were) listed as printed, checked, written back
# byte for byte; then one typist's mistake of each kind in line 150, found on its line with the
# fix that undoes it.
for load in c000 0801; do
  prg="$listings/code-$load.prg"
  expect_status 0 "$lbe" --list --style=mlx "$prg"
  mv out "mlx-$load.txt"
  first=$(head -n 1 "mlx-$load.txt")
  [ "${first:0:5}" = "${load^^}:" ] || fail "--list --style=mlx $load starts with $first"
  lines=$(wc -l < "mlx-$load.txt")
  expect_status 0 "$lbe" --check --style=mlx "mlx-$load.txt" -o "back-$load.prg"
  [ "$(cat err)" = "$lines lines, 0 faults" ] || fail "--check --style=mlx of $load: $(cat err)"
  # A last short line comes back with the 00 bytes it was printed with.
  size=$(stat -c %s "$prg")
  cmp -s <(head -c "$size" "back-$load.prg") "$prg" || fail "-o back-$load.prg differs"
  [ "$(stat -c %s "back-$load.prg")" = $((2 + lines * 8)) ] || fail "back-$load.prg: not whole lines"
  [ -z "$(tail -c +$((size + 1)) "back-$load.prg" | tr -d '\0')" ] || fail "$load: filling not 00"
  # Checked as lbe's own form, it fails nearly every line, and says which form it is.
  expect_status 1 "$lbe" --check "mlx-$load.txt"
  grep -q "^lbe: [0-9]* of $lines lines check out as New MLX only: check it with --style=mlx$" err ||
    fail "--check of a New MLX listing does not name the form: $(tail -n 2 err)"
done
# A program that ends on its last printed line gets no line of 00 bytes after it; a listing of
# lbe's own form with one line that only New MLX passes gets no word on the form.
printf '\x01\x08\x01\x02\x03\x04\x05\x06\x07\x08' > eight.prg
expect_status 0 "$lbe" --list --style=mlx eight.prg
[ "$(cat out)" = "0801: 01 02 03 04 05 06 07 08 09" ] || fail "--list --style=mlx eight.prg: $(cat out)"
: > empty.prg
expect_status 0 "$lbe" --list empty.prg
[ -s out ] && fail "--list of an empty .prg printed $(head -n 1 out)"
printf 'C000 A93785FCA9D785FE:5B\nC008 0000000000000000:00\nC010 0000000000000001:01\n' > one.txt
expect_status 1 "$lbe" --check one.txt
grep -q "New MLX" err && fail "one line that passes as New MLX named the form: $(cat err)"
# typo AWK EXPECTED...: line 150 of the C000 listing rewritten by AWK (its fields: the address
# with its colon, the 8 bytes, the checksum); its one fault must hold every EXPECTED text.
read -r -a good <<< "$(sed -n 150p mlx-c000.txt)"
at=${good[0]%:}
next=$(printf %04X $((0x$at + 1)))
typo() {
  awk -v program="$1" 'NR == 150 { $0 = program } { print }' mlx-c000.txt > typo.txt
  expect_status 1 "$lbe" --check --style=mlx typo.txt
  shift
  [ "$(grep -c "^typo.txt:" err)" = 1 ] || fail "not one fault for $(sed -n 150p typo.txt): $(cat err)"
  for expected in "$@"; do
    grep -qF "typo.txt:150: " err && grep -qF -- "$expected" err ||
      fail "$(sed -n 150p typo.txt): no '$expected' in $(cat err)"
  done
}
b=("${good[@]:1:8}")
swapped="${b[0]:1:1}${b[0]:0:1}"
if [ "$swapped" != "${b[0]}" ]; then
  typo "$at: $swapped ${b[*]:1} ${good[9]}" "perhaps $at is ${b[0]}, not $swapped (digits swapped)"
fi
if [ "${b[0]}" != "${b[1]}" ]; then
  typo "$at: ${b[1]} ${b[0]} ${b[*]:2} ${good[9]}" \
    "$at and $next are ${b[0]} ${b[1]}, not ${b[1]} ${b[0]} (exchanged)"
fi
typo "$at: ${b[0]:0:1} ${b[*]:1} ${good[9]}" "15 hexadecimal digits" "$at is ${b[0]} (a digit left out)"
typo "$at: ${b[0]:0:1}${b[0]} ${b[*]:1} ${good[9]}" "17 hexadecimal digits" "typed twice"
typo "$at: ${b[0]} ${b[*]} ${good[9]}" "9 bytes, 8 expected" "${b[0]} at $at typed twice"
typo "$at: ${b[*]} ${good[9]:1:1}${good[9]:0:1}" \
  "the checksum is ${good[9]}, not ${good[9]:1:1}${good[9]:0:1}"
# A look-alike misread in the first byte or checksum digit that has one: 8 as B, 0 as D, and back.
for i in $(seq 0 17); do
  digits="${b[*]}${good[9]}"
  digits=${digits// /}
  case ${digits:i:1} in 8) misread=B ;; B) misread=8 ;; 0) misread=D ;; D) misread=0 ;; *) continue ;; esac
  typed="${digits:0:i}$misread${digits:i+1}"
  spaced=$(sed 's/../& /g' <<< "$typed")
  if [ "$i" -lt 16 ]; then
    byte=$((i / 2))
    typo "$at: ${spaced% }" "$(printf %04X $((0x$at + byte))) is ${b[byte]}, not ${typed:byte*2:2}"
  else
    typo "$at: ${spaced% }" "the checksum is ${good[9]}, not ${typed:16:2}"
  fi
  break
done
# Keyed at a wrong address, and a line left out.
typo "$(printf %04X $((0x$at + 0x400))): ${b[*]} ${good[9]}" "the line checks out at $at"
awk 'NR != 150' mlx-c000.txt > typo.txt
expect_status 1 "$lbe" --check --style=mlx typo.txt
grep -qF "line $at missing" err || fail "a line left out of a New MLX listing: $(cat err)"

# Usage: /? and -? as ever; --help adds the Linux lines after it.
usage=$("$lbe" /?)
[ "$("$lbe" -?)" = "$usage" ] || fail "-? differs from /?"
help=$("$lbe" --help)
[ "${help:0:${#usage}}" = "$usage" ] || fail "--help does not start with the usage"
for word in "--help" "--version" "--offset" "--length" "--list" "--sums" "--check" "--output" \
  "hexadecimal" "--convert" "--format" "--fill" "--address" "--record-length" "--start-address" \
  "See lbe(1)."; do
  grep -qF -- "$word" <<< "${help:${#usage}}" || fail "--help does not mention $word"
done

[ "$failures" = 0 ] || exit 1
echo "listing: ok"

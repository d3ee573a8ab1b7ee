#!/bin/sh
# CTest: `fingerprint` as an integrator meets it. Bad inputs among good ones are each named and
# skipped while the rest is still processed, with a non-zero exit; match gives a decision;
# evaluate writes its scores and plot and refuses a malformed pair list. Uses four images of
# FVC2002 DB2; skips (77) when the sets are absent.
# usage: cli_test.sh FINGERPRINT_TOOL REPO_ROOT
tool=$1
sets=${FINGERPRINT_SETS:-$2/../shared/testdata/fingerprints}
[ -n "${FINGERPRINT_SETS:-}" ] || [ -d "$sets" ] || sets=$2/../../shared/testdata/fingerprints
src=$sets/fvc2002_db2_b
if [ ! -f "$src/101_1.pgm" ]; then
  echo "SKIPPED: no fingerprint set in $src"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
expect() { grep -q -- "$2" "$1" || { cat "$1"; fail "expected '$2' in $(basename "$1")"; }; }

mkdir "$work/in" "$work/set"
printf 'P5\n10 10\n255\nabc' > "$work/in/truncated.pgm"
printf 'P5\n100000 100000\n255\n' > "$work/in/huge.pgm"
printf 'BMx' > "$work/in/short.bmp"
cp "$src/101_1.pgm" "$work/in/good.pgm"

# extract: every bad input named with its reason, the good one still written, exit 1.
"$tool" extract --ppi 569 --out "$work/out" "$work/in/truncated.pgm" "$work/in/missing.pgm" \
  "$work/in" /dev/zero "$work/in/huge.pgm" "$work/in/short.bmp" "$work/in/good.pgm" \
  > "$work/extract.out" 2> "$work/extract.err"
[ $? -eq 1 ] || fail "extract with bad inputs must exit 1"
expect "$work/extract.err" "truncated.pgm: PGM raster is truncated"
expect "$work/extract.err" "missing.pgm: cannot read the file"
expect "$work/extract.err" "$work/in: is a directory"
expect "$work/extract.err" "/dev/zero: not a regular file"
expect "$work/extract.err" "huge.pgm: PGM width 100000 is out of range"
expect "$work/extract.err" "short.bmp:"
expect "$work/extract.out" "good.pgm: [0-9]* minutiae, quality [0-9]*"
[ -s "$work/out/good.iso" ] || fail "the good image's record was not written"
[ "$(ls "$work/out" | wc -l)" -eq 1 ] || fail "records written for bad inputs: $(ls "$work/out")"
"$tool" extract --ppi 569 --format ansi --out "$work/out" "$work/in/good.pgm" > /dev/null ||
  fail "extract of a good image must exit 0"
[ -s "$work/out/good.ansi" ] || fail "no ANSI record"

# match: a record against itself (ISO against its ANSI writing) matches at every level.
"$tool" match --level 7 "$work/out/good.iso" "$work/out/good.ansi" > "$work/match.out" ||
  fail "match exit status"
expect "$work/match.out" "level 7 threshold [0-9]*: match"
"$tool" match "$work/out/good.iso" "$work/in/good.pgm" 2> "$work/match.err"
[ $? -eq 1 ] || fail "match of a non-record must exit 1"
expect "$work/match.err" "good.pgm: not a minutiae record"
"$tool" match --level 8 "$work/out/good.iso" "$work/out/good.iso" 2> /dev/null
[ $? -eq 2 ] || fail "match --level 8 must be a usage error"

# evaluate: two fingers of two impressions; scores for every listed pair, a readable plot.
for n in 101_1 101_2 102_1 102_2; do cp "$src/$n.pgm" "$work/set/"; done
printf '101_1 101_2\n\n102_1 102_2\n' > "$work/genuine.txt"
printf '101_1 102_1\n101_1 102_2\n101_2 102_1\n101_2 102_2\n' > "$work/impostor.txt"
"$tool" evaluate --ppi 569 --scores "$work/scores.txt" --plot "$work/plot.svg" "$work/set" \
  "$work/genuine.txt" "$work/impostor.txt" > "$work/eval.out" 2> "$work/eval.err" ||
  fail "evaluate exit status"
expect "$work/eval.out" "genuine pairs 2, impostor pairs 4"
expect "$work/eval.out" "failures to extract 0"
[ "$(wc -l < "$work/scores.txt")" -eq 6 ] || fail "scores file: $(cat "$work/scores.txt")"
grep -q '^101_1 101_2 [0-9][0-9]*$' "$work/scores.txt" || fail "no genuine score line"
expect "$work/plot.svg" "<svg"
expect "$work/eval.err" "comparing 6/6"
printf '101_1 101_2\n102_1\n' > "$work/bad_pairs.txt"
"$tool" evaluate --ppi 569 "$work/set" "$work/bad_pairs.txt" "$work/impostor.txt" \
  > /dev/null 2> "$work/bad.err"
[ $? -eq 1 ] || fail "a malformed pair list must fail"
expect "$work/bad.err" "bad_pairs.txt:2: expected two image names"
echo "OK"

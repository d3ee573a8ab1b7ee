#!/bin/sh
# The project's matcher against bozorth3 on the same minutiae (mindtct's, as Debian's libfprint
# carries both): `bozorth-compare` writes mindtct's minutiae of every image of the five sets of
# ../shared/testdata/fingerprints as ISO and ANSI records and bozorth3's score of every pair, then
# `matcher-evaluate` measures both with the same definitions. Prints one table (markdown).
# usage: bench/bozorth_compare.sh [BUILD_DIR [OUT_DIR]]   (default: build, a temporary folder)
# An OUT_DIR that already holds the five sets' records and scores is measured again as it is.
# Needs the targets bozorth-compare (built when libfprint-2 and GLib's headers are installed)
# and matcher-evaluate.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
sets=${FINGERPRINT_SETS:-$root/../shared/testdata/fingerprints}
[ -n "${FINGERPRINT_SETS:-}" ] || [ -d "$sets" ] || sets=$root/../../shared/testdata/fingerprints  # a worktree
compare=$build/bench/bozorth-compare
evaluate=$build/bin/matcher-evaluate
for tool in "$compare" "$evaluate"; do
  [ -x "$tool" ] || { echo "no $tool: build the targets bozorth-compare and matcher-evaluate first" >&2; exit 1; }
done
[ -d "$sets" ] || { echo "no fingerprint sets in $sets" >&2; exit 1; }
if [ $# -ge 2 ]; then
  out=$2
else
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
fi

names="fvc2002_db2_b fvc2002_db3_b fvc2004_db1_b fvc2004_db2_b fvc2004_db3_b"
made=yes
for set_name in $names; do
  [ -f "$out/$set_name/impostor_scores.txt" ] || made=no
done
if [ $made = no ]; then
  "$compare" "$sets" "$out" "$sets/fvc2002_db2_b=569" "$sets/fvc2002_db3_b=500" \
    "$sets/fvc2004_db1_b=500" "$sets/fvc2004_db2_b=500" "$sets/fvc2004_db3_b=512" | tr '\r' '\n' >&2
fi

# One matcher-evaluate run per column: "label|options".
runs="bozorth3|--given-scores
ISO full|--ext iso
ISO full, exact|--ext iso --exact
ISO fast|--ext iso --fast
ISO fast, exact|--ext iso --fast --exact
ANSI full|--ext ansi
ANSI fast|--ext ansi --fast
ISO full, mindtct's ridge counts|--ext rc.iso"
results=$out/results.txt
: >"$results"
echo "$runs" | while IFS='|' read -r label options; do
  # shellcheck disable=SC2086 # the options are words
  (cd "$out" && "$evaluate" $options "$sets" $names) |
    awk -v label="$label" '$1 ~ /^fvc/ || $1 == "pooled" {print label "|" $0}' >>"$results"
done

echo "| set | matcher | EER % | FMR100 % | FMR1000 % | ZeroFMR % | FTE |"
echo "|---|---|---|---|---|---|---|"
for set_name in $names mean pooled; do
  echo "$runs" | while IFS='|' read -r label options; do
    awk -F'|' -v set="$set_name" -v label="$label" '
      $1 == label {
        split($2, f, " ")
        if (set == "mean" && f[1] != "pooled") {
          n++; eer += f[2]; f100 += f[3]; f1000 += f[4]; zero += f[5]; fte += f[6]
        } else if (f[1] == set) {
          printf "| %s | %s | %.2f | %.1f | %.1f | %.1f | %s |\n", set, label, f[2], f[3], f[4], f[5], (set == "pooled" ? "" : f[6])
        }
      }
      END {
        if (set == "mean") {
          printf "| mean | %s | %.2f | %.2f | %.2f | %.2f | %d |\n", label, eer / n, f100 / n, f1000 / n, zero / n, fte
        }
      }' "$results"
  done
done

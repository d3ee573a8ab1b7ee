#!/bin/sh
# The five-set table of engine/README.md: `fingerprint evaluate` on every set of
# ../shared/testdata/fingerprints (all genuine and impostor pairs).
# usage: bench/fingerprint_sets.sh [BUILD_DIR]   (default: build)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
tool=$build/bin/fingerprint
sets=${FINGERPRINT_SETS:-$root/../shared/testdata/fingerprints}
[ -n "${FINGERPRINT_SETS:-}" ] || [ -d "$sets" ] || sets=$root/../../shared/testdata/fingerprints  # a worktree
[ -x "$tool" ] || { echo "no $tool: build the target fingerprint first" >&2; exit 1; }
[ -d "$sets" ] || { echo "no fingerprint sets in $sets" >&2; exit 1; }
echo "| set | ppi | EER % | FMR100 % | FMR1000 % | ZeroFMR % | failures to extract | ms/image (median, p95) | minutiae | comparisons/s |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for entry in fvc2002_db2_b:569 fvc2002_db3_b:500 fvc2004_db1_b:500 fvc2004_db2_b:500 fvc2004_db3_b:512; do
  set_name=${entry%%:*}
  ppi=${entry##*:}
  out=$("$tool" evaluate --ppi "$ppi" "$sets/$set_name" "$sets/genuine_pairs.txt" "$sets/impostor_pairs.txt" 2>/dev/null)
  eer=$(echo "$out" | awk '/^EER/ {print $2}')
  f100=$(echo "$out" | awk '$1 == "FMR100" {print $2}')
  f1000=$(echo "$out" | awk '$1 == "FMR1000" {print $2}')
  zero=$(echo "$out" | awk '/^ZeroFMR/ {print $2}')
  fte=$(echo "$out" | awk '/^failures to extract/ {print $4}')
  ms=$(echo "$out" | awk '/^extraction ms/ {print $4 ", " $6}')
  mn=$(echo "$out" | awk '/^minutiae per image/ {print $4}' | tr -d ,)
  cps=$(echo "$out" | awk '/^comparisons per second/ {print $4}')
  echo "| $set_name | $ppi | $eer | $f100 | $f1000 | $zero | $fte | $ms | $mn | $cps |"
done

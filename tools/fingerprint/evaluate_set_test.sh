#!/bin/sh
# CTest: `fingerprint evaluate` on FVC2002 DB2 (569 ppi) must keep its EER at or below NBIS's
# (mindtct + bozorth3) 2.61 % on the same pairs. Skips (77) when the sets are absent.
# usage: evaluate_set_test.sh FINGERPRINT_TOOL REPO_ROOT
tool=$1
# The sets live beside the repository (../shared); a worktree one level deeper finds them at
# ../../shared. FINGERPRINT_SETS overrides both.
sets=${FINGERPRINT_SETS:-$2/../shared/testdata/fingerprints}
[ -n "${FINGERPRINT_SETS:-}" ] || [ -d "$sets" ] || sets=$2/../../shared/testdata/fingerprints
set_dir=$sets/fvc2002_db2_b
if [ ! -d "$set_dir" ] || [ ! -f "$sets/genuine_pairs.txt" ]; then
  echo "SKIPPED: no fingerprint set in $set_dir (see ../shared/testdata/fingerprints/README.md)"
  exit 77
fi
out=$("$tool" evaluate --ppi 569 "$set_dir" "$sets/genuine_pairs.txt" "$sets/impostor_pairs.txt") || exit 1
echo "$out"
eer=$(echo "$out" | awk '$1 == "EER" {print $2}')
fte=$(echo "$out" | awk '/^failures to extract/ {print $4}')
limit=2.61
awk -v e="$eer" -v l="$limit" 'BEGIN { exit !(e != "" && e + 0 <= l + 0) }' || {
  echo "FAIL: EER $eer % is above NBIS's $limit % on fvc2002_db2_b"
  exit 1
}
[ "$fte" = "0" ] || { echo "FAIL: $fte failures to extract on fvc2002_db2_b"; exit 1; }
echo "OK: EER $eer % <= $limit %"

#!/usr/bin/env bash
# Fails when a file includes a header from a top-level folder it must not depend on.
# Dependencies point one way:
#   platform, codec <- engine <- devicelib <- service <- scanner, session, database <- http <- agent
# and tools/ may use codec, engine and devicelib. Tests (tests/, *_test.cpp, *_fuzz.cpp,
# *_bench.cpp) may also include the test doubles in tests/.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The folders each folder may include besides itself.
declare -A allowed=(
  [platform]=""
  [codec]=""
  [engine]="codec platform"
  [devicelib]="codec engine platform"
  [service]="devicelib engine codec platform"
  [session]="service devicelib engine codec platform"
  [scanner]="service devicelib engine codec platform"
  [database]="service devicelib engine codec platform"
  [http]="scanner session database service devicelib engine codec platform"
  [agent]="http scanner session database service devicelib engine codec platform"
  [tools]="devicelib engine codec platform"
  [bench]="agent http scanner session database service devicelib engine codec platform tests"
  [tests]="agent http scanner session database service devicelib engine codec platform tests"
)

# Single headers a folder's tests and benchmarks may include against the direction, as test
# data only (no library of the folder links them): the extractor's tests and benchmark take
# their ground truth from the virtual scanner's synthetic fingers.
declare -A test_data=(
  [engine]="devicelib/virtual/synthetic_finger.h"
)

status=0
cd "$here"
while IFS= read -r file; do
  folder="${file%%/*}"
  [ -n "${allowed[$folder]+set}" ] || continue
  permitted=" $folder ${allowed[$folder]} "
  data=" "
  case "$file" in
    *_test.cpp | *_fuzz.cpp | *_bench.cpp)
      permitted="$permitted tests "
      data=" ${test_data[$folder]:-} "
      ;;
  esac
  while IFS= read -r hit; do
    line="${hit%%:*}"
    target="$(sed -E 's/^[^"]*"([^"]*)".*/\1/' <<<"$hit")"
    dep="${target%%/*}"
    [ "$dep" != "$target" ] || continue                # a header beside the file
    [ -n "${allowed[$dep]+set}" ] || continue          # system and third-party headers
    [[ "$data" != *" $target "* ]] || continue         # test data named above
    if [[ "$permitted" != *" $dep "* ]]; then
      echo "$file:$line: includes $target, but $folder/ must not depend on $dep/" >&2
      status=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
done < <(git ls-files '*.cpp' '*.h' '*.cc' '*.hpp')
if [ "$status" -eq 0 ]; then
  echo "include directions: ok"
fi
exit "$status"

#!/usr/bin/env bash
# Sets up the machine if needed, then builds and runs every test twice: a normal build, and a
# build under AddressSanitizer + UndefinedBehaviorSanitizer. Then short, bounded fuzz runs and
# a formatting check. Exits non-zero on the first failure.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"
"$here/scripts/setup.sh"

step() { printf '\n=== %s ===\n' "$*"; }

step "formatting (clang-format)"
mapfile -t sources < <(cd "$here" && git ls-files '*.cpp' '*.h' 2>/dev/null || true)
if [ "${#sources[@]}" -gt 0 ]; then
  (cd "$here" && clang-format --dry-run --Werror "${sources[@]}")
fi

step "include directions"
"$here/scripts/check_includes.sh"

step "browser test dependencies (playwright-core)"
(cd "$here/tests/e2e" && npm ci --no-audit --no-fund)

step "build and test"
# The real-scanner backend is required here, so that a missing package cannot drop it (and its
# tests) without a failure.
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWEBAGENT_REQUIRE_LIBFPRINT=ON \
  >/dev/null
cmake --build "$here/build" -j"$jobs"
(cd "$here/build" && ctest --output-on-failure -j"$jobs" --timeout 1500)

step "Debian package: build, lintian, install, run as a user, trust, upgrade, purge"
"$here/packaging/test-package.sh" "$here/build"

step "build and test under AddressSanitizer + UndefinedBehaviorSanitizer"
# Optimised, so that the slower suites (synthetic fingers, large galleries) stay quick.
cmake -S "$here" -B "$here/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWEBAGENT_SANITIZE=ON \
  -DWEBAGENT_BENCH=OFF -DWEBAGENT_REQUIRE_LIBFPRINT=ON >/dev/null
cmake --build "$here/build-asan" -j"$jobs"
(cd "$here/build-asan" &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$jobs" --timeout 2400)

step "fuzzing (bounded runs)"
CC=clang CXX=clang++ cmake -S "$here" -B "$here/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DWEBAGENT_FUZZ=ON -DWEBAGENT_TESTS=OFF -DWEBAGENT_BENCH=OFF >/dev/null
cmake --build "$here/build-fuzz" -j"$jobs" --target fuzzers
seconds="${WEBAGENT_FUZZ_SECONDS:-30}"
shopt -s nullglob
for fuzzer in "$here"/build-fuzz/fuzz/fuzz_*; do
  printf 'fuzzing %s for %s s\n' "$(basename "$fuzzer")" "$seconds"
  corpus="$(mktemp -d)"
  "$fuzzer" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
    -print_final_stats=0 "$corpus" 2>&1 | tail -n 2
  rm -rf "$corpus"
done
echo "all checks passed"

#!/usr/bin/env bash
# Line and branch coverage of the product code (not tests, not benchmarks).
#   scripts/coverage.sh [build-dir] [ctest arguments...]
# Builds an instrumented tree (default build-coverage), runs the tests
# (all of them, or those the ctest arguments select, e.g. -R storage_tests)
# and prints gcovr's summary; the full per-file table goes to
# <build-dir>/coverage.txt.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="$(realpath -m "${1:-$here/build-coverage}")"
shift || true
command -v gcovr >/dev/null || { echo "gcovr is missing: apt-get install gcovr" >&2; exit 1; }
scripts_dir="$here/scripts"
# A failed build must not leave the last run's table looking like this run's.
rm -f "$dir/coverage.txt"
"$scripts_dir/build.sh" "$dir" -DCMAKE_BUILD_TYPE=Debug -DBRELVANE_COVERAGE=ON \
    -DBRELVANE_BUILD_BENCH=OFF
find "$dir" -name '*.gcda' -delete
ctest --test-dir "$dir" -j"$(nproc)" --timeout 900 "$@" >"$dir/coverage-ctest.log" 2>&1 || {
  tail -n 30 "$dir/coverage-ctest.log"; echo "coverage: some tests failed" >&2; }
filter=()
for d in platform base app catalogue storage http nat report p2p tools; do
  filter+=(--filter "$here/$d/")
done
# gcovr leaves its working files in the current directory.
cd "$dir"
gcovr --root "$here" "${filter[@]}" --object-directory "$dir" \
      --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors \
      --txt "$dir/coverage.txt" --print-summary "$dir" | tail -n 3

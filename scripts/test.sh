#!/usr/bin/env bash
# Builds everything and runs the whole test suite through ctest:
#   1. AddressSanitizer + UBSan build, unit tests;
#   2. ThreadSanitizer build, the threaded unit tests;
#   3. the fuzz smoke: every libFuzzer target over its seed corpus plus a
#      short run (scripts/fuzz.sh, clang tree build-fuzz);
#   4. the normal build, every test (unit and integration) - its ctest
#      summary is the last thing printed.
# Set BRELVANE_QUICK=1 to skip the sanitizer builds and the fuzz smoke.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

scripts/install-deps.sh

jobs="$(nproc)"
if [ "${BRELVANE_QUICK:-0}" != "1" ]; then
  echo "== ASan+UBSan build"
  scripts/build.sh "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DBRELVANE_SANITIZER=asan \
      -DBRELVANE_BUILD_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$here/build-asan" -LE 'integration|tsan-skip' -j"$jobs" --output-on-failure \
          --timeout 600

  echo "== TSan build"
  scripts/build.sh "$here/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRELVANE_SANITIZER=tsan \
      -DBRELVANE_BUILD_BENCH=OFF
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$here/build-tsan" -LE 'integration|tsan-skip' -j"$jobs" --output-on-failure \
          --timeout 600

  echo "== Fuzz smoke"
  scripts/fuzz.sh smoke
fi

echo "== Release build, all tests"
scripts/build.sh "$here/build"
ctest --test-dir "$here/build" -j"$jobs" --output-on-failure --no-label-summary --timeout 900

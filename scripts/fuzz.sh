#!/usr/bin/env bash
# The libFuzzer targets of fuzz/, built with clang in their own tree
# (build-fuzz: ASan, UBSan and coverage feedback in every library).
#   scripts/fuzz.sh                  smoke: every target over its seed corpus
#                                    plus 5 s of fuzzing each (about 75 s)
#   scripts/fuzz.sh campaign [S [TARGET...]]
#                                    every target (or those named) for S
#                                    seconds (default 900) or 10 million runs,
#                                    two at a time; the corpus grows in
#                                    build-fuzz/corpus/<target>.  A unit may
#                                    take 120 s (a loaded machine; env
#                                    BRELVANE_FUZZ_UNIT_TIMEOUT), not 10.
#   scripts/fuzz.sh run TARGET [ARGS...]   one target by hand (libFuzzer ARGS)
# A crash leaves its input in build-fuzz/findings/ and fails the script.  Per
# target it prints the executions, executions per second and coverage.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="${BRELVANE_FUZZ_DIR:-$here/build-fuzz}"
mode="${1:-smoke}"

cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBRELVANE_FUZZ=ON -DBRELVANE_BUILD_TESTS=OFF -DBRELVANE_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target fuzzers -- -j"$(nproc)" >/dev/null
mapfile -t targets < <(cd "$here/fuzz" && ls *_fuzz.cpp | sed 's/_fuzz\.cpp$//')
mkdir -p "$dir/findings"
unit_timeout=10
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1"

# run_target NAME SECONDS WORK_CORPUS [extra libFuzzer args]: fuzzes NAME over
# WORK_CORPUS (written) and its seed corpus (read); prints one line of figures.
run_target() {
  local t="$1" seconds="$2" work="$3"
  shift 3
  local log="$dir/findings/$t.log" dict=()
  [ -f "$here/fuzz/$t.dict" ] && dict=(-dict="$here/fuzz/$t.dict")
  mkdir -p "$work"
  if ! "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout="$unit_timeout" -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$t-" "${dict[@]}" "$@" "$work" "$here/fuzz/corpus/$t" \
        >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $t FAILED (input in $dir/findings/, log $log)" >&2
    return 1
  fi
  local runs rate cov
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")"
  cov="$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)"
  printf 'fuzz %-18s %12s runs %8s exec/s  cov %s\n' "$t" "$runs" "$rate" "$cov"
}

case "$mode" in
  smoke)
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT
    start=$SECONDS
    for t in "${targets[@]}"; do run_target "$t" 5 "$work/$t"; done
    echo "fuzz smoke: ${#targets[@]} targets in $((SECONDS - start)) s"
    ;;
  campaign)
    # Two targets at a time; the next one starts as soon as either slot frees.
    seconds="${2:-900}"
    (($# > 2)) && targets=("${@:3}")
    unit_timeout="${BRELVANE_FUZZ_UNIT_TIMEOUT:-120}"
    status=0
    running=0
    for t in "${targets[@]}"; do
      if ((running == 2)); then
        wait -n || status=1
        running=$((running - 1))
      fi
      run_target "$t" "$seconds" "$dir/corpus/$t" -runs=10000000 &
      running=$((running + 1))
    done
    while ((running > 0)); do
      wait -n || status=1
      running=$((running - 1))
    done
    exit "$status"
    ;;
  run)
    t="$2"
    shift 2
    exec "$dir/fuzz/fuzz_$t" -artifact_prefix="$dir/findings/$t-" "$@"
    ;;
  *)
    echo "usage: scripts/fuzz.sh [smoke | campaign [seconds] | run TARGET [ARGS...]]" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target, default 30] [target...]   (targets: cmdline,
# mpeg, ppm, yuv; all when none is named). Exits non-zero on any finding; the input that
# caused it is left in build/fuzz/artifacts/<target>/. FUZZ_SKIP_BUILD=1 skips the build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}
shift || true
build=$root/build/fuzz

if [ "${FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLMERE_FUZZ=ON -DQUILLMERE_TESTS=OFF -DQUILLMERE_BENCH=OFF >/dev/null
  cmake --build "$build" --target fuzzers -j "$(nproc)"
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for exe in "$build"/bin/fuzz_*; do targets+=("${exe##*/fuzz_}"); done
fi

status=0
for t in "${targets[@]}"; do
  exe=$build/bin/fuzz_$t
  seeds=$root/tests/fuzz/corpus/$t
  work=$build/corpus/$t          # grows between runs; the seeds in the repo stay as they are
  artifacts=$build/artifacts/$t/
  mkdir -p "$work" "$artifacts"
  opts=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -close_fd_mask=3
        -print_final_stats=1 -artifact_prefix="$artifacts")
  [ -f "$root/tests/fuzz/$t.dict" ] && opts+=(-dict="$root/tests/fuzz/$t.dict")
  log=$build/fuzz_$t.log
  echo "fuzzing $t for ${seconds}s"
  if "$exe" "${opts[@]}" "$work" "$seeds" >"$log" 2>&1; then
    echo "  $t: $(grep -ao 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') executions, no finding"
  else
    echo "  $t: FINDING (log $log, input in $artifacts)"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status

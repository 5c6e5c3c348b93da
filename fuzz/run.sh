#!/usr/bin/env bash
# Builds the fuzz targets in build-fuzz and runs each for a bounded time.
# Usage: fuzz/run.sh [seconds per target] [target...]
# Any crash, leak, sanitizer report or failed check ends with a non-zero
# status; the input that caused it is kept in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
seconds=${1:-20}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(fuzz_path fuzz_argv fuzz_quav)

CXX=clang++ CC=clang cmake -S . -B build-fuzz -DQUAVD_FUZZ=ON -DQUAVD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"${FUZZ_JOBS:-2}" --target "${targets[@]}"

mkdir -p build-fuzz/artifacts
for t in "${targets[@]}"; do
  # New inputs go to a work corpus; the seeds in fuzz/corpus stay as they are.
  work="$top/build-fuzz/corpus-work/$t"
  mkdir -p "$work"
  log="$top/build-fuzz/$t.log"
  echo "== $t for ${seconds}s"
  # Paths are absolute: fuzz_quav changes into its own server root.
  if ! "$top/build-fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=10 -max_len=4096 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$top/build-fuzz/artifacts/$t-" \
      "$work" "$top/fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "== $t FAILED (log: $log)"
    exit 1
  fi
  grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -n 1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" || true
done

#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for a bounded time, as many at once as there are cores (each
# fuzzer is one process on one core, so the run takes a fraction of the time and fuzzes as long).
# Usage: tools/fuzz.sh BUILD_DIR SECONDS
# A finding stops the run with the fuzzer's report; crash inputs land in BUILD_DIR/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; seconds=$2
mkdir -p "$dir/findings"

# One fuzzer; its verdict goes to a file of its own, read once all have run.
fuzz_one() {
  local target=$1 name corpus seeds log args
  name=$(basename "$target")
  corpus="$dir/corpus/$name"
  mkdir -p "$corpus"
  seeds="tests/fuzz/seeds/${name#fuzz_}"
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  log="$dir/findings/$name.log"
  if "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 \
      -artifact_prefix="$dir/findings/$name-" -print_final_stats=1 "${args[@]}" >"$log" 2>&1; then
    echo ok >"$log.verdict"
  else
    echo finding >"$log.verdict"
  fi
}

targets=()
for target in "$dir"/fuzz/fuzz_*; do
  [ -x "$target" ] && targets+=("$target")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzzer in $dir/fuzz: configure that tree with -DSHAREFETCH_FUZZ=ON" >&2
  exit 1
fi
at_once=$(nproc)
running=0
for target in "${targets[@]}"; do
  rm -f "$dir/findings/$(basename "$target").log.verdict"
  fuzz_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$at_once" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

status=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  log="$dir/findings/$name.log"
  if [ "$(cat "$log.verdict" 2>/dev/null)" = ok ]; then
    runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "$name: ${runs:-?} runs, no finding" >&2
  else
    echo "$name: FINDING" >&2
    tail -n 60 "$log" >&2
    status=1
  fi
done
exit $status

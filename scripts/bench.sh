#!/usr/bin/env bash
# Installs what is needed, builds the benchmark optimised and prints every
# performance figure: the driver's bus traffic per frame against its register
# sequences, the virtual-time ceilings, host time per frame against a memory
# floor, bring-up, and callgrind's instruction counts per frame (repeatable
# where wall time is not). Ends with a one-line summary. Arguments go to the
# benchmark (e.g. --benchmark_filter=Send).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNE2000_TESTS=OFF -DNE2000_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target driver_bench >/dev/null
bench=build-bench/bin/driver_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
"$bench" --benchmark_counters_tabular=true "$@" | tee "$work/bench.txt" || status=$?

echo
echo "Instructions per frame (callgrind, only the frames themselves counted)"
counts=""
for workload in send-60:2000 send-1514:1000 receive-60:2000 receive-1514:1000 bring-up:5; do
  name=${workload%%:*}
  runs=${workload##*:}
  out="$work/callgrind.$name"
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" \
    "$bench" --count "$name" "$runs" >/dev/null 2>&1
  total=$(awk '/^(summary|totals):/ {print $2; exit}' "$out")
  per=$((total / runs))
  unit=frame
  [ "$name" = bring-up ] && unit=bring-up
  printf '  %-14s %12s instructions a %s (%s runs)\n' "$name" "$per" "$unit" "$runs"
  counts="$counts${counts:+, }$name $per"
done

summary=$(sed -n 's/^summary: //p' "$work/bench.txt")
echo
echo "summary: $summary; instructions per frame: $counts"
exit "$status"

#!/bin/sh
# Runs one fuzz target the way ctest does (label fuzz):
#   run_fuzzer.sh FUZZER CORPUS WORK            replays every committed input once
#   run_fuzzer.sh FUZZER CORPUS WORK RUNS       then fuzzes RUNS inputs from them, seed 1
# New inputs, and the input of any crash, go to WORK, emptied first. Address
# randomisation is turned off where the system allows it: the fuzzer feeds
# compared values, pointers among them, back into its mutations, so only
# fixed addresses make a run repeat exactly.
set -eu
fuzzer=$1 corpus=$2 work=$3 runs=${4:-}
rm -rf "$work"
mkdir -p "$work/new"
fixed=""
if setarch -R true 2>/dev/null; then fixed="setarch -R"; fi
if [ -z "$runs" ]; then
  exec $fixed "$fuzzer" -artifact_prefix="$work/" "$corpus"/*
fi
exec $fixed "$fuzzer" -seed=1 -runs="$runs" -timeout=10 -print_final_stats=1 -artifact_prefix="$work/" \
  "$work/new" "$corpus"

#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for SECONDS each, growing a scratch copy of its
# seed corpus, and reports executions, coverage and findings per target. Crashes are kept in
# build/fuzz/findings/<target>/. Usage: fuzz/run.sh SECONDS [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [target...]}
shift
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
for t in "${targets[@]}"; do
    corpus=build/fuzz/corpus/$t
    findings=build/fuzz/findings/$t
    mkdir -p "$corpus" "$findings"
    cp -n "fuzz/corpus/${t%_fuzz}/"* "$corpus/" 2>/dev/null || true
    log=build/fuzz/$t.log
    status=0
    ./build/fuzz/fuzz/"$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || status=$?
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo '?')
    found=$(find "$findings" -type f | wc -l)
    echo "$t: executions $execs, coverage $cov edges, findings $found (exit $status, log $log)"
done

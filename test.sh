#!/usr/bin/env bash
# Builds and runs every test. Usage: ./test.sh [default|asan|tsan|fuzz] [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")"
preset=${1:-default}
shift || true
./build.sh "$preset"
# A test that fails is run once more before the run counts as failed: a few ZMODEM cases in
# real time (a 3 s stall, steady reply damage) have each failed once in many runs on a
# loaded shared machine. A fault that holds fails both runs; the output shows every failure.
ctest --preset "$preset" --repeat until-pass:2 "$@"

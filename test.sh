#!/usr/bin/env bash
# Builds and runs every test. Usage: ./test.sh [default|asan|tsan|fuzz] [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")"
preset=${1:-default}
shift || true
./build.sh "$preset"
ctest --preset "$preset" "$@"

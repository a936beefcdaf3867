#!/usr/bin/env bash
# Flashes a simulated box: builds the tool, starts boxsim as COM3 in a scratch folder, makes a
# sample image and runs bin2plv32 on it, exactly as a technician would on a real box.
# Usage: ./demo.sh [--pace]   (--pace: the box answers at the real line rate, ~1 s here)
set -euo pipefail
cd "$(dirname "$0")"
./build.sh default >/dev/null
bin=build/default
work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$work"' EXIT

export QELFLASH_PORTS=$work/ports
mkdir -p "$QELFLASH_PORTS"
"$bin/sim/boxsim" --make-image "$work/plv200.bin" --size 40000 \
    --firmware-name "TARSK880 V2" --version "01.23"
"$bin/sim/boxsim" --port COM3 "$@" --flash-out "$work/flash.bin" >"$work/boxsim.out" &
sim=$!
for _ in $(seq 100); do grep -q ready "$work/boxsim.out" 2>/dev/null && break; sleep 0.05; done

echo "\$ bin2plv32 plv200.bin 3"
set +e
"$bin/app/bin2plv32" "$work/plv200.bin" 3
code=$?
set -e
echo
echo "(exit code $code)"
kill "$sim"; wait "$sim" 2>/dev/null || true
if cmp -s <(head -c 40000 "$work/plv200.bin") <(tail -c +$((0x8000 + 1)) "$work/flash.bin" | head -c 40000); then
    echo "the simulated box's flash at 0x8000 now holds the image"
else
    echo "the simulated box's flash does not hold the image" >&2
    exit 1
fi
exit "$code"

#!/usr/bin/env bash
# Flashes a simulated box as a technician would flash a real one: builds the tool, starts
# boxsim as COM3 in a scratch folder, makes a sample file and runs bin2plv32 on it. Whatever
# it made is gone when it ends, however it ends.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    cat <<'EOF'
usage: ./demo.sh [--fpga] [--pace]
  (no option)  loads a sample firmware image into the simulated box's bootloader
  --fpga       updates the FPGA of the simulated box's running firmware from a sample .vme file
  --pace       the box answers at the real line rate and takes a real box's erase and
               programming times
Ends with bin2plv32's exit code, or 1 when the box does not hold what was sent.
BUILD_DIR=build/asan ./demo.sh takes the programs already built there instead of building.
EOF
}

fpga=0
pace=()
for arg; do
    case $arg in
    --fpga) fpga=1 ;;
    --pace) pace=(--pace) ;;
    --help | -h) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done

if [ -n "${BUILD_DIR:-}" ]; then
    bin=$BUILD_DIR
else
    echo "building bin2plv32 and boxsim (build/default; the first build takes a minute or so)"
    ./build.sh default bin2plv32 boxsim
    bin=build/default
fi
tool=$(realpath "$bin/app/bin2plv32")
boxsim=$(realpath "$bin/sim/boxsim")

work=$(mktemp -d)
sim=
# The box may be gone already (stopped below, or died): nothing here may fail the script,
# and the scratch folder goes in every case.
cleanup() {
    local code=$?
    if [ -n "$sim" ]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit "$code"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start_box() {
    "$boxsim" --port COM3 "${pace[@]}" "$@" >boxsim.out &
    sim=$!
    for _ in $(seq 200); do
        grep -q ready boxsim.out 2>/dev/null && return 0
        kill -0 "$sim" 2>/dev/null || break
        sleep 0.05
    done
    echo "boxsim did not start" >&2
    exit 1
}

# The box writes its flash and its log when it stops.
stop_box() {
    kill "$sim" 2>/dev/null || true
    wait "$sim" || true
    sim=
}

run() {
    echo "\$ bin2plv32 $*"
    set +e
    "$tool" "$@"
    code=$?
    set -e
    echo
    echo "(exit code $code)"
}

cd "$work"
export QELFLASH_PORTS=$work/ports
mkdir ports

if [ "$fpga" = 1 ]; then
    "$boxsim" --make-vme fpga_124.vme --version 124
    echo "(the simulated box runs its firmware with FPGA version 100)"
    start_box --mode firmware --log box.log
    run fpga_124.vme 3
    stop_box
    programmed=$(grep -o 'fpga programmed with [0-9]* bytes' box.log || true)
    if [ -n "$programmed" ]; then
        echo "the simulated box's FPGA was ${programmed#fpga }"
    else
        echo "the simulated box's FPGA was not programmed" >&2
        [ "$code" != 0 ] || code=1
    fi
else
    "$boxsim" --make-image plv200.bin --size 40000 --firmware-name "TARSK880 V2" --version 01.23
    start_box --flash-out flash.bin
    run plv200.bin 3
    stop_box
    if cmp -s -n 40000 -i 0:$((0x8000)) plv200.bin flash.bin; then
        echo "the simulated box's flash at 0x8000 now holds the image"
    else
        echo "the simulated box's flash does not hold the image" >&2
        [ "$code" != 0 ] || code=1
    fi
fi
exit "$code"

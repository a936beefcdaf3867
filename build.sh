#!/usr/bin/env bash
# Builds qel-flash (bin2plv32, boxsim, tests). Run as root on a fresh Debian machine, it first
# installs the packages the build and the tests need.
# Usage: ./build.sh [default|asan|tsan|fuzz|windows] [target...]   (no target: everything)
# (windows: the mingw-w64 cross build, build/windows/app/bin2plv32.exe; Wine runs its tests)
set -euo pipefail
cd "$(dirname "$0")"
preset=${1:-default}
shift || true
targets=()
[ $# -gt 0 ] && targets=(--target "$@")

need=(cmake g++ make libgtest-dev clang libclang-rt-14-dev lrzsz socat)
if [ "$preset" = windows ]; then
    need+=(mingw-w64 wine wine64 googletest)
fi
missing=()
for pkg in "${need[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "missing Debian packages (install them as root): ${missing[*]}" >&2
        exit 1
    fi
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" "${targets[@]}"

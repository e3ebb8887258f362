#!/usr/bin/env bash
# Cross-builds everything for the unit's board (armhf) on a Debian 12 PC, installing what is missing.
# --test also runs the whole suite under user-mode emulation (qemu-arm), the way ctest does natively.
set -euo pipefail
cd "$(dirname "$0")/.."
test=0
if [ "${1:-}" = "--test" ]; then test=1; fi
bash scripts/deps.sh --armhf
dir=build-armhf
cmake --no-warn-unused-cli -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BENCH=OFF -DKORVANE_AREAS="" >/dev/null
cmake --build "$dir" -j2
if [ "$test" = 1 ]; then
  # Each test binary, and every program a test starts, runs as `qemu-arm -L / ...` (see the toolchain file).
  ctest --test-dir "$dir" -j2 --output-on-failure --timeout 900
fi

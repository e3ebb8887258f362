#!/usr/bin/env bash
# Builds the program and runs the unit against simulated hardware in a fresh simulated root.
# Extra arguments go to `korvane-sim run` (e.g. --exit-after 20, --set EnableGPIO=0, --model 120).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target korvane korvane-sim
root="${KORVANE_SIM_ROOT:-/tmp/korvane-unit}"
echo "Simulated root: $root   screen: $root/screen.png   log: $root/var/log/korvane.log"
echo "Simulator commands: echo 'fault silent' > $root/sim/control   (Ctrl-C stops the unit)"
exec ./build/sim/unit/korvane-sim run "$root" --fresh "$@"

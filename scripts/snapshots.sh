#!/usr/bin/env bash
# Runs the simulated unit once and keeps three moments in docs/screens/: the start screen during the
# loading countdown, the interface page after it, and the closing message after Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target korvane korvane-sim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
./build/sim/unit/korvane-sim run "$work/root" --fresh --set EnableTime=0 --shot-every 0 --exit-after 12 \
  --changes "$work/shot" 2>"$work/stderr"
mkdir -p docs/screens
# Distinct screens in order: start, "Loading ... 5" .. " 0", statusB, start again, the closing message.
shots=("$work"/shot-*.png)
cp "${shots[3]}" docs/screens/start-countdown.png
cp "${shots[7]}" docs/screens/statusB.png
cp "${shots[${#shots[@]}-1]}" docs/screens/closing.png
ls -l docs/screens

# The meter page with error tiles: the micro falls silent (link error), recovers, then overheats.
KORVANE_STARTUP_SCALE=0.2 ./build/sim/unit/korvane-sim run "$work/root2" --fresh --exit-after 40 2>"$work/stderr2" &
sim=$!
for _ in $(seq 100); do [ -p "$work/root2/sim/control" ] && break; sleep 0.1; done
sleep 4
echo 'fault silent' > "$work/root2/sim/control"
sleep 9
echo 'fault none' > "$work/root2/sim/control"
sleep 2
echo 'fault hot' > "$work/root2/sim/control"
sleep 10
cp "$work/root2/screen.png" docs/screens/error-tiles.png
kill -INT $sim
wait $sim || true
ls -l docs/screens

#!/usr/bin/env bash
# Walks the simulated unit through the twelve key pages (0 to 11) with the front panel's control
# lines, as an operator would press the keys, and keeps one screenshot of each in docs/pages/.
# Usage: scripts/page-walk.sh [output folder, default docs/pages]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/pages}"
bash scripts/deps.sh >/dev/null
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target korvane korvane-sim >/dev/null
root=$(mktemp -d /tmp/korvane-walk.XXXXXX)
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$root"' EXIT
KORVANE_STARTUP_SCALE=0.05 ./build/sim/unit/korvane-sim run "$root" --fresh --exit-after 120 >"$root.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -p "$root/sim/control" ] && grep -q "Timer thread started" "$root/var/log/korvane.log" 2>/dev/null && break; sleep 0.2; done
sleep 2
mkdir -p "$out"
send() { echo "$1" >"$root/sim/control"; sleep "${2:-0.6}"; }
key() { send "key $1 tap"; }
shot() { sleep 0.3; ./build/sim/unit/korvane-sim shot "$root" "$out/page-$1.png" >/dev/null; echo "page $1: $2"; }

shot 00 "main"
key 5; shot 01 "parameter list (SET)"
key 6; shot 02 "parameter edit (ENTER)"
key 6; key 1
key 4; shot 03 "tune (TUNE)"
key 6; shot 04 "manual tune (MANUAL)"
key 1; shot 08 "save tune (BACK on the manual page)"
key 1
send "key 1 hold 900" 1.5; shot 06 "interface and band table (MEM held)"
key 6; shot 07 "band-table edit (ENTER)"
key 1; key 5; shot 09 "utilities (UTIL)"
key 2; shot 10 "copy bank (COPY)"
key 1; key 5; key 3; shot 11 "reset bank (RESET)"
key 1
key 2 1.5  # interface: Generic -> the paired transceiver's packet link
key 1
send "radio fault unplug" 3; shot 05 "device error (transceiver unplugged)"
key 6  # Cancel
echo "screenshots in $out"

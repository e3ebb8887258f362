#!/usr/bin/env bash
# Runs the JPEG benchmark twice: libjpeg-turbo with its SIMD code, then with it switched off.
# Usage: bench/jpeg/run.sh [build dir, default build] [extra Google Benchmark flags]
set -euo pipefail
cd "$(dirname "$0")/../.."
dir="${1:-build}"
shift || true
cmake --build "$dir" -j2 --target bench_jpeg >/dev/null
"$dir/bench/jpeg/bench_jpeg" "$@"
JSIMD_FORCENONE=1 "$dir/bench/jpeg/bench_jpeg" "$@"

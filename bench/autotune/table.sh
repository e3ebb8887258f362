#!/usr/bin/env bash
# The auto-tune benchmark's summary for both searches on the simulator's plant and every plant file,
# at the run's usual target (1.5) and as full searches (0), next to brute force on the same plant.
# usage: bench/autotune/table.sh [BENCH_BINARY]   (default build/bench/autotune/bench_autotune)
set -euo pipefail
cd "$(dirname "$0")/../.."
bench=${1:-build/bench/autotune/bench_autotune}
printf "%-34s %-6s %-6s %-22s %-22s %s\n" plant search target "matchable to <=1.5" "within 0.05 of best" "measurements"
for p in simulator bench/autotune/plants/*.txt; do
  for s in old new; do
    for t in 1.5 0; do
      args=(--search "$s" --target "$t")
      [ "$p" != simulator ] && args+=(--plant "$p")
      out=$("$bench" "${args[@]}")
      m=$(sed -n 's/^matchable cases ending at 1.5 or below: \(.*\) = \(.*\)$/\2 (\1)/p' <<<"$out")
      wi=$(sed -n 's/^cases ending within 0.05 of the brute-force best: \(.*\) = \(.*\)$/\2 (\1)/p' <<<"$out")
      me=$(sed -n 's/^measurements: //p' <<<"$out")
      printf "%-34s %-6s %-6s %-22s %-22s %s\n" "$(basename "$p" .txt)" "$s" "$t" "$m" "$wi" "$me"
    done
  done
done

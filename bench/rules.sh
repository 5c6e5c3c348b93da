#!/usr/bin/env bash
# The cost of address rules: the daemon's lookup against 10 000 rules, the
# peer matching only the last one, timed alone; and the request rate of
# quavd -a with that file against quavd without -a, measured in turn within
# each round, median of the rounds. Loopback only; every run is bounded.
#
#   bench/rules.sh            # or FIGURES=rules bench/run.sh
#   ROUNDS=5 RULES=10000 bench/rules.sh
set -euo pipefail

ROUNDS=${ROUNDS:-3}
RULES=${RULES:-10000}
REQUESTS=${REQUESTS:-2000}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-3}
LOOKUPS=${LOOKUPS:-1000000}

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_setup rules quavd loadgen bench_true rules_bench
loadgen=$build/bench/loadgen
rules_bench=$build/bench/rules_bench


rules=$work/rules.txt
"$rules_bench" write "$rules" "$RULES" 127.0.0.1
for d in plain rules; do
  mkdir -p "$work/$d/bin" && cp "$build/bench/scripts/true" "$work/$d/bin/"
done
declare -A port
for d in plain rules; do
  port[$d]=$("$loadgen" free-port)
  extra=()
  [[ $d == rules ]] && extra=(-a "$rules")
  (cd "$work/$d" && exec "$build/quavd" -p "${port[$d]}" -l -c 1 "${extra[@]}" </dev/null >/dev/null 2>&1) &
  pids+=($!)
  "$loadgen" wait-listen "${port[$d]}" 10
done

results=$work/results
: >"$results"
for ((r = 1; r <= ROUNDS; r++)); do
  for addr in 127.0.0.1 10.0.0.5 ::1; do
    echo "$r lookup-$addr $("$rules_bench" lookup "$rules" "$addr" "$LOOKUPS")" >>"$results"
  done
  # Which daemon goes first alternates, so that drift falls on both.
  order=(plain rules)
  ((r % 2 == 0)) && order=(rules plain)
  for d in "${order[@]}"; do
    echo "$r rate-$d $(timeout 120 "$loadgen" rate "${port[$d]}" "$REQUESTS" "$SECONDS_PER_RUN" bin/true)" >>"$results"
  done
done

awk -v rules="$RULES" -v rounds="$ROUNDS" '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  {
    for (i = 3; i <= NF; i++) { split($i, kv, "="); v[$2, kv[1]] = v[$2, kv[1]] " " kv[2] }
    if ($2 ~ /^rate-/) { split($3, kv, "="); rate[$1, $2] = kv[2] }
  }
  END {
    for (r = 1; r <= rounds; r++) ratios = ratios " " rate[r, "rate-rules"] / rate[r, "rate-plain"]
    printf "%d rules, the peer matching only the last one; medians of %d rounds\n", rules, rounds
    printf "lookup ns, peer 127.0.0.1 (the last rule): %.0f\n", median(v["lookup-127.0.0.1", "lookup_ns"])
    printf "lookup ns, peer 10.0.0.5 (the first rule; refused): %.0f\n", median(v["lookup-10.0.0.5", "lookup_ns"])
    printf "lookup ns, peer ::1 (held by no rule; refused): %.0f\n", median(v["lookup-::1", "lookup_ns"])
    printf "loading the file ms: %.1f\n", median(v["lookup-127.0.0.1", "load_ms"])
    printf "requests/s without -a: %.0f, with -a: %.0f\n", median(v["rate-plain", "rate"]), median(v["rate-rules", "rate"])
    printf "p50 latency us without -a: %.0f, with -a: %.0f\n", median(v["rate-plain", "p50_us"]), median(v["rate-rules", "p50_us"])
    printf "requests/s with -a / without (per round, median): %.2f\n", median(ratios)
  }' "$results"

#!/usr/bin/env bash
# What -S and -s cost the daemon, and the fleet client against pdsh.
# Each round measures, in turn: the relay of one large output with and
# without -s; the request rate with -S (the client asking for the status)
# and without; and a fleet of FLEET daemons on loopback addresses, run by
# `quav -S -P 64 -f hosts`, by `quav -S -P 1`, and by `pdsh -R exec -f 64`
# starting one `quav -H %h` per host. Ratios are taken within each round,
# then the median over the rounds. Loopback only; every run is bounded.
#
#   bench/status.sh           # or FIGURES=status bench/run.sh
#   ROUNDS=5 FLEET=200 bench/status.sh
set -euo pipefail

ROUNDS=${ROUNDS:-3}
REQUESTS=${REQUESTS:-2000}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-3}
RELAY_BYTES=${RELAY_BYTES:-268435456}
FLEET=${FLEET:-200}
((FLEET >= 1 && FLEET <= 250)) || { echo "FLEET must be 1..250" >&2; exit 1; }

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_setup status quavd quav loadgen bench_true bench_emit
command -v pdsh >/dev/null || need_packages pdsh
loadgen=$build/bench/loadgen
quav=$build/quav


# serve DIR ARGS...: a daemon with a root of its own, in the background.
serve() {
  local dir=$work/$1
  shift
  mkdir -p "$dir/bin" && cp "$build/bench/scripts/true" "$build/bench/scripts/emit" "$dir/bin/"
  (cd "$dir" && exec "$build/quavd" -l "$@" </dev/null >/dev/null 2>&1) &
  pids+=($!)
}

declare -A port
for d in plain S s; do
  port[$d]=$("$loadgen" free-port)
  extra=()
  [[ $d == S ]] && extra=(-S)
  [[ $d == s ]] && extra=(-s)
  serve "$d" -p "${port[$d]}" -c 1 "${extra[@]}"
  "$loadgen" wait-listen "${port[$d]}" 10
done

# The fleet: one daemon per loopback address 127.0.1.N, all on one port.
fleet_port=$("$loadgen" free-port)
: >"$work/hosts"
for ((i = 1; i <= FLEET; i++)); do
  serve "fleet$i" -S -b "127.0.1.$i" -p "$fleet_port"
  echo "127.0.1.$i:$fleet_port" >>"$work/hosts"
done
for ((i = 1; i <= FLEET; i++)); do
  for ((try = 0; try < 200; try++)); do
    (exec 3<>"/dev/tcp/127.0.1.$i/$fleet_port") 2>/dev/null && break
    sleep 0.05
  done
done

# wall NAME COMMAND...: a fleet run's wall time in ms; a failure ends the run.
wall() {
  local name=$1 t0 t1
  shift
  t0=$(date +%s%N)
  "$@" >"$work/out" 2>"$work/err" || { echo "FAILED: $name: $(head -3 "$work/err")" >&2; exit 1; }
  t1=$(date +%s%N)
  # Every host's 16 bytes (pdsh adds no LF to a last line without one).
  (($(grep -o abcdefghijklmnop "$work/out" | wc -l) == FLEET)) || { echo "FAILED: $name: output" >&2; exit 1; }
  echo "$r $name ms=$(((t1 - t0) / 1000000))" >>"$results"
}

results=$work/results
: >"$results"
for ((r = 1; r <= ROUNDS; r++)); do
  echo "round $r" >&2
  # Which one goes first alternates, so that drift falls on both.
  order=(plain s)
  ((r % 2 == 0)) && order=(s plain)
  for d in "${order[@]}"; do
    echo "$r relay-$d $(timeout 120 "$loadgen" relay "${port[$d]}" "$RELAY_BYTES" "bin/emit+$RELAY_BYTES")" >>"$results"
  done
  echo "$r rate-plain $(timeout 120 "$loadgen" rate "${port[plain]}" "$REQUESTS" "$SECONDS_PER_RUN" bin/true)" >>"$results"
  echo "$r rate-S $(LOADGEN_STATUS=1 timeout 120 "$loadgen" rate "${port[S]}" "$REQUESTS" "$SECONDS_PER_RUN" bin/true)" >>"$results"
  wall quav64 timeout 300 "$quav" -S -P 64 -f "$work/hosts" bin/emit 16
  wall pdsh64 timeout 300 pdsh -R exec -f 64 -w "127.0.1.[1-$FLEET]" "$quav" -H %h -p "$fleet_port" bin/emit 16
  wall quav1 timeout 300 "$quav" -S -P 1 -f "$work/hosts" bin/emit 16
done

awk -v rounds="$ROUNDS" -v fleet="$FLEET" '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { for (i = 3; i <= NF; i++) { split($i, kv, "="); v[$2, kv[1]] = v[$2, kv[1]] " " kv[2]; at[$1, $2, kv[1]] = kv[2] } }
  # ratio A B KEY: the median over the rounds of A/B.
  function ratio(a, b, k,   r, list) {
    list = ""
    for (r = 1; r <= rounds; r++) list = list " " at[r, a, k] / at[r, b, k]
    return median(list)
  }
  END {
    printf "medians of %d rounds\n", rounds
    printf "relay MiB/s without -s: %.0f, with -s: %.0f; -s / without: %.2f\n",
      median(v["relay-plain", "mibps"]), median(v["relay-s", "mibps"]), ratio("relay-s", "relay-plain", "mibps")
    printf "requests/s without -S: %.0f, with -S and status: %.0f; -S / without: %.2f\n",
      median(v["rate-plain", "rate"]), median(v["rate-S", "rate"]), ratio("rate-S", "rate-plain", "rate")
    printf "fleet of %d, wall ms: quav -S -P 64 %d, pdsh -R exec -f 64 %d, quav -S -P 1 %d\n", fleet,
      median(v["quav64", "ms"]), median(v["pdsh64", "ms"]), median(v["quav1", "ms"])
    printf "fleet speed-up of quav -P 64 over pdsh: %.2f, over quav -P 1: %.2f\n",
      ratio("pdsh64", "quav64", "ms"), ratio("quav1", "quav64", "ms")
  }' "$results"

#!/usr/bin/env bash
# Measures quavd against the one-process-per-connection servers (tcpserver,
# socat, xinetd) and against the floors that bound any of them, in one run:
# every round measures every system in turn, so that load from elsewhere on
# the machine falls on all of them alike. Prints the medians and, for each
# round, the ratios quavd/peer and quavd/floor, then their medians.
#
# Two figures: serial (one client; quavd -c 1) and concurrent (K clients at
# once, each doing its share of the requests, against quavd -c 16,
# tcpserver -c 16, xinetd and socat's fork mode, running the no-op program
# and a program that sleeps 50 ms).
#
#   bench/run.sh                  # 3 rounds, both figures
#   ROUNDS=5 bench/run.sh
#   FIGURES=concurrent bench/run.sh
#   FIGURES=rules bench/run.sh   # address rule lookup (bench/rules.sh)
#   FIGURES=tls bench/run.sh     # TLS against socat and stunnel (bench/tls.sh)
#   FIGURES=status bench/run.sh  # -S, -s and the fleet (bench/status.sh)
#   BASELINE_QUAVD=/path/to/older/quavd bench/run.sh   # both figures against it
#   IDLE_WAIT=60 bench/run.sh     # memory once the load has been gone that long
#
# Loopback only; every measurement is bounded (REQUESTS requests or
# SECONDS_PER_RUN seconds, or a fixed number of bytes), and every server
# started here is stopped on exit.
set -euo pipefail

ROUNDS=${ROUNDS:-3}
REQUESTS=${REQUESTS:-2000}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-3}
RELAY_BYTES=${RELAY_BYTES:-536870912}
INPUT_LINES=${INPUT_LINES:-200000}
LINE_LEN=1000
# The short-line row: the same bytes in lines of 80.
SHORT_LINE_LEN=80
SHORT_INPUT_LINES=$((INPUT_LINES * LINE_LEN / SHORT_LINE_LEN))
FIGURES=${FIGURES:-serial concurrent}
CLIENTS=${CLIENTS:-1 4 16}
CONCURRENCY=16
BASELINE_QUAVD=${BASELINE_QUAVD:-}
IDLE_WAIT=${IDLE_WAIT:-60}

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The address rule, TLS and status figures (FIGURES=rules, tls, status)
# have scripts of their own.
for own in rules tls status; do
  if [[ " $FIGURES " == *" $own "* ]]; then
    "$here/$own.sh"
    FIGURES=${FIGURES//$own/}
    [[ -n ${FIGURES// /} ]] || exit 0
  fi
done

echo "building in $build (Release)" >&2
bench_setup all quavd loadgen bench_true bench_emit bench_sink bench_nap

missing=()
command -v tcpserver >/dev/null || missing+=(ucspi-tcp)
command -v socat >/dev/null || missing+=(socat)
command -v xinetd >/dev/null || missing+=(xinetd)
need_packages "${missing[@]}"

loadgen=$build/bench/loadgen
root=$work/root
mkdir -p "$root/bin"
cp "$build/bench/scripts/true" "$build/bench/scripts/emit" "$build/bench/scripts/sink" \
  "$build/bench/scripts/nap" "$root/bin/"
# Each daemon gets a root of its own, for its pid file and log.
for d in root-c root-before root-before-c root-wide; do
  mkdir -p "$work/$d" && cp -r "$root/bin" "$work/$d/"
done
results=$work/results
conc_results=$work/conc-results
: >"$results"
: >"$conc_results"

# start PORT COMMAND...: runs a server in the scripts' root, waits for its port.
start() {
  local port=$1
  shift
  (cd "$root" && exec "$@" </dev/null >>"$work/servers.log" 2>&1) &
  pids+=($!)
  "$loadgen" wait-listen "$port" 10
}

port() { "$loadgen" free-port; }

emit_arg=$RELAY_BYTES

q_port=$(port)
start "$q_port" "$build/quavd" -p "$q_port" -l -d "$root" -c 1
quavd_pid=${pids[-1]}
qc_port=$(port)
start "$qc_port" "$build/quavd" -p "$qc_port" -l -d "$work/root-c" -c "$CONCURRENCY"
quavd_c_pid=${pids[-1]}
# The widest pool, left without load: its memory is all it shows.
wide_port=$(port)
start "$wide_port" "$build/quavd" -p "$wide_port" -l -d "$work/root-wide" -c 1024
quavd_wide_pid=${pids[-1]}
if [[ -n $BASELINE_QUAVD ]]; then
  b_port=$(port)
  start "$b_port" "$BASELINE_QUAVD" -p "$b_port" -l -d "$work/root-before"
  bc_port=$(port)
  start "$bc_port" "$BASELINE_QUAVD" -p "$bc_port" -l -d "$work/root-before-c" -c "$CONCURRENCY"
  before_c_pid=${pids[-1]}
fi

declare -A tcps_port tcpc_port tcpc_pid socat_port xinetd_port
for s in true emit sink nap; do
  args=()
  [[ $s == emit ]] && args=("$emit_arg")
  if [[ $s == true || $s == nap ]]; then
    tcpc_port[$s]=$(port)
    start "${tcpc_port[$s]}" tcpserver -c "$CONCURRENCY" -HRl0 127.0.0.1 "${tcpc_port[$s]}" "$root/bin/$s"
    tcpc_pid[$s]=${pids[-1]}
  fi
  if [[ $s != nap ]]; then
    tcps_port[$s]=$(port)
    start "${tcps_port[$s]}" tcpserver -HRl0 127.0.0.1 "${tcps_port[$s]}" "$root/bin/$s" "${args[@]}"
  fi
  socat_port[$s]=$(port)
  start "${socat_port[$s]}" socat "TCP-LISTEN:${socat_port[$s]},bind=127.0.0.1,fork,reuseaddr,backlog=64" \
    "EXEC:$root/bin/$s${args[*]:+ ${args[*]}}"
done

{
  echo "defaults"
  echo "{"
  echo "  log_type = FILE $work/xinetd.log"
  echo "  instances = UNLIMITED"
  echo "  per_source = UNLIMITED"
  # The default rate limit would switch the service off mid-run.
  echo "  cps = 1000000 1"
  echo "}"
  for s in true emit sink nap; do
    xinetd_port[$s]=$(port)
    echo "service quavd-bench-$s"
    echo "{"
    echo "  type = UNLISTED"
    echo "  port = ${xinetd_port[$s]}"
    echo "  bind = 127.0.0.1"
    echo "  socket_type = stream"
    echo "  protocol = tcp"
    echo "  wait = no"
    echo "  user = root"
    echo "  server = $root/bin/$s"
    [[ $s == emit ]] && echo "  server_args = $emit_arg"
    echo "}"
  done
} >"$work/xinetd.conf"
xinetd -dontfork -f "$work/xinetd.conf" -pidfile "$work/xinetd.pid" >>"$work/servers.log" 2>&1 &
pids+=($!)
for s in true emit sink nap; do "$loadgen" wait-listen "${xinetd_port[$s]}" 10; done

rss() { awk '/^VmRSS/ {print $2}' "/proc/${1:-$quavd_pid}/status"; }
# pss PID: the proportional set size in KiB of the process and its children
# (the pool's handlers) together; then, after a slash, how many children.
pss() {
  local p total=0 n=0
  for p in /proc/[0-9]*; do
    [[ $(awk '{print $4}' "$p/stat" 2>/dev/null) == "$1" ]] || continue
    total=$((total + $(awk '/^Pss:/ {print $2}' "$p/smaps_rollup" 2>/dev/null || echo 0))) n=$((n + 1))
  done
  echo "$((total + $(awk '/^Pss:/ {print $2}' "/proc/$1/smaps_rollup")))/$n"
}

# record ROUND SYSTEM LOADGEN-ARGS...: runs one measurement, keeps its numbers.
record() {
  local round=$1 sys=$2 kind=$3
  shift 3
  local out
  out=$(timeout 120 "$loadgen" "$@") || { echo "FAILED: $sys $kind: loadgen $*" >&2; exit 1; }
  local kv
  for kv in $out; do
    case $kv in
      rate=* | p50_us=* | p99_us=*) echo "$round $sys ${kv%%=*} ${kv#*=}" >>"$results" ;;
      mibps=*) echo "$round $sys $kind ${kv#*=}" >>"$results" ;;
    esac
  done
}

measure() {
  local r=$1 sys=$2
  case $sys in
    quavd)
      record "$r" quavd rate rate "$q_port" "$REQUESTS" "$SECONDS_PER_RUN" bin/true
      [[ -z $BASELINE_QUAVD ]] ||
        record "$r" before rate rate "$b_port" "$REQUESTS" "$SECONDS_PER_RUN" bin/true
      record "$r" quavd relay relay "$q_port" "$RELAY_BYTES" "bin/emit+$RELAY_BYTES"
      record "$r" quavd input input "$q_port" "$INPUT_LINES" "$LINE_LEN" bin/sink
      record "$r" quavd input80 input "$q_port" "$SHORT_INPUT_LINES" "$SHORT_LINE_LEN" bin/sink
      ;;
    tcpserver | socat | xinetd)
      local -n ports=${sys/tcpserver/tcps}_port
      record "$r" "$sys" rate rate "${ports[true]}" "$REQUESTS" "$SECONDS_PER_RUN"
      record "$r" "$sys" relay relay "${ports[emit]}" "$RELAY_BYTES"
      record "$r" "$sys" input input "${ports[sink]}" "$INPUT_LINES" "$LINE_LEN"
      record "$r" "$sys" input80 input "${ports[sink]}" "$SHORT_INPUT_LINES" "$SHORT_LINE_LEN"
      ;;
    floor)
      record "$r" fork rate fork "$root/bin/true" "$REQUESTS" "$SECONDS_PER_RUN"
      record "$r" spawn rate spawn "$root/bin/true" "$REQUESTS" "$SECONDS_PER_RUN"
      record "$r" pipe relay pipe-relay "$root/bin/emit" "$RELAY_BYTES"
      record "$r" pipe input pipe-input "$root/bin/sink" "$INPUT_LINES" "$LINE_LEN"
      record "$r" pipe input80 pipe-input "$root/bin/sink" "$SHORT_INPUT_LINES" "$SHORT_LINE_LEN"
      record "$r" tcp relay tcp-stream "$RELAY_BYTES"
      ;;
  esac
}

# conc_record ROUND SYSTEM K PROGRAM PORT WATCH_PID [COMMAND]: K clients at once.
conc_record() {
  local round=$1 sys=$2 k=$3 prog=$4 port=$5 watch=$6
  shift 6
  local out kv
  out=$(timeout 120 "$loadgen" concurrent "$port" "$k" "$REQUESTS" "$SECONDS_PER_RUN" "$watch" "$@") ||
    { echo "FAILED ($?): $sys K=$k $prog: $out" >&2; exit 1; }
  for kv in $out; do
    case $kv in
      rate=* | p50_us=* | max_children=*) echo "$round $sys $k $prog ${kv%%=*} ${kv#*=}" >>"$conc_results" ;;
    esac
  done
}

conc_measure() {
  local r=$1 k prog i sys
  local csys=(quavd tcpserver socat xinetd)
  [[ -z $BASELINE_QUAVD ]] || csys+=(before)
  for k in $CLIENTS; do
    for prog in true nap; do
      for ((i = 0; i < ${#csys[@]}; i++)); do
        sys=${csys[$(((i + r - 1) % ${#csys[@]}))]}
        case $sys in
          quavd) conc_record "$r" quavd "$k" "$prog" "$qc_port" "$quavd_c_pid" "bin/$prog" ;;
          before) conc_record "$r" before "$k" "$prog" "$bc_port" "$before_c_pid" "bin/$prog" ;;
          tcpserver) conc_record "$r" tcpserver "$k" "$prog" "${tcpc_port[$prog]}" 0 ;;
          socat) conc_record "$r" socat "$k" "$prog" "${socat_port[$prog]}" 0 ;;
          xinetd) conc_record "$r" xinetd "$k" "$prog" "${xinetd_port[$prog]}" 0 ;;
        esac
      done
    done
  done
}

# A few requests first, so that the daemons' resident sizes are taken warm.
"$loadgen" rate "$q_port" 20 5 bin/true >/dev/null
"$loadgen" concurrent "$qc_port" 4 20 5 0 bin/true >/dev/null
rss_start=$(rss)
rss_c_start=$(rss "$quavd_c_pid")
systems=(quavd tcpserver socat xinetd floor)
for ((r = 1; r <= ROUNDS; r++)); do
  if [[ " $FIGURES " == *" serial "* ]]; then
    # Each round starts one system further on, so no system always goes first.
    for ((i = 0; i < ${#systems[@]}; i++)); do
      sys=${systems[$(((i + r - 1) % ${#systems[@]}))]}
      echo "round $r: $sys" >&2
      measure "$r" "$sys"
    done
    echo "$r quavd rss $(rss)" >>"$results"
  fi
  if [[ " $FIGURES " == *" concurrent "* ]]; then
    echo "round $r: concurrent" >&2
    conc_measure "$r"
    echo "$r quavd-c rss $(rss "$quavd_c_pid")" >>"$results"
    echo "round $r: quavd -c $CONCURRENCY $(pss "$quavd_c_pid"), tcpserver -c $CONCURRENCY $(pss "${tcpc_pid[true]}")" >>"$work/pss"
  fi
done
rss_end=$(rss)
rss_c_end=$(rss "$quavd_c_pid")
if [[ " $FIGURES " == *" concurrent "* ]] && ((IDLE_WAIT > 0)); then
  echo "waiting ${IDLE_WAIT}s without load" >&2
  sleep "$IDLE_WAIT"
  echo "idle ${IDLE_WAIT}s: quavd -c $CONCURRENCY $(pss "$quavd_c_pid"), tcpserver -c $CONCURRENCY $(pss "${tcpc_pid[true]}")" >>"$work/pss"
fi
echo "never loaded: quavd -c 1024 $(pss "$quavd_wide_pid")" >>"$work/pss"
stop_all

echo
echo "quavd bench: $ROUNDS rounds, medians; $(nproc) cores, load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
if [[ " $FIGURES " == *" serial "* ]]; then
echo "requests: up to $REQUESTS or ${SECONDS_PER_RUN}s of 'cmd bin/true' + 'end' (peers: one connection running the program)"
echo "relay: one request whose script writes $RELAY_BYTES bytes; input: $INPUT_LINES lines of $LINE_LEN bytes"
echo "(input80: $SHORT_INPUT_LINES lines of $SHORT_LINE_LEN bytes) into a sink"
echo
awk -v rss_start="$rss_start" -v rss_end="$rss_end" '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    if (n == 0) return ""
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { v[$2, $3] = v[$2, $3] " " $4; at[$1, $2, $3] = $4; if ($1 > rounds) rounds = $1 }
  function cell(sys, m,   x) { x = median(v[sys, m]); return x == "" ? "-" : x }
  function ratio(sys, m,   r, list, x) {
    list = ""
    for (r = 1; r <= rounds; r++)
      if (((r, "quavd", m) in at) && ((r, sys, m) in at) && at[r, sys, m] > 0)
        list = list " " at[r, "quavd", m] / at[r, sys, m]
    x = median(list)
    return x == "" ? "-" : sprintf("%.2f", x)
  }
  END {
    split("rate p50_us p99_us relay input input80", metrics, " ")
    label["rate"] = "requests/s"; label["p50_us"] = "p50 latency us"; label["p99_us"] = "p99 latency us"
    label["relay"] = "relay MiB/s"; label["input"] = "input MiB/s"; label["input80"] = "input80 MiB/s"
    floor["rate"] = "fork"; floor["p50_us"] = "fork"; floor["p99_us"] = "fork"
    floor["relay"] = "pipe"; floor["input"] = "pipe"; floor["input80"] = "pipe"
    printf "%-16s %9s %9s %9s %9s %9s %9s %9s %9s\n", "median", "quavd", "tcpserver", "socat", "xinetd", "floor", "spawn", "tcp", "before"
    for (i = 1; i <= 6; i++) {
      m = metrics[i]
      printf "%-16s %9s %9s %9s %9s %9s %9s %9s %9s\n", label[m], cell("quavd", m), cell("tcpserver", m),
        cell("socat", m), cell("xinetd", m), cell(floor[m], m), cell("spawn", m), cell("tcp", m), cell("before", m)
    }
    print ""
    print "quavd/X, median of the per-round ratios (floor: fork+exec+wait; pipe relay; pipe fed one line per write;"
    print "before: BASELINE_QUAVD, when given)"
    printf "%-16s %9s %9s %9s %9s %9s %9s %9s\n", "ratio", "tcpserver", "socat", "xinetd", "floor", "spawn", "tcp", "before"
    for (i = 1; i <= 6; i++) {
      m = metrics[i]
      printf "%-16s %9s %9s %9s %9s %9s %9s %9s\n", label[m], ratio("tcpserver", m), ratio("socat", m),
        ratio("xinetd", m), ratio(floor[m], m), ratio("spawn", m), ratio("tcp", m), ratio("before", m)
    }
    print ""
    printf "quavd resident size: %s KiB after warm-up, per round:%s KiB, %s KiB at the end\n", rss_start, v["quavd", "rss"], rss_end
  }' "$results"
fi
if [[ " $FIGURES " == *" concurrent "* ]]; then
echo
echo "concurrent: K clients at once, each doing its share of up to $REQUESTS requests or ${SECONDS_PER_RUN}s;"
echo "quavd -c $CONCURRENCY, tcpserver -c $CONCURRENCY -HRl0, xinetd (instances UNLIMITED), socat fork;"
echo "programs: true (no-op) and nap (sleeps 50 ms)"
echo
awk -v rss_start="$rss_c_start" -v rss_end="$rss_c_end" -v rss_rounds="$(awk '$2 == "quavd-c" {printf " %s", $4}' "$results")" '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    if (n == 0) return ""
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  {
    key = $3 SUBSEP $4
    if (!(key in seen)) { seen[key] = 1; order[++nkeys] = key }
    v[$2, key, $5] = v[$2, key, $5] " " $6; at[$1, $2, key, $5] = $6
    if ($1 > rounds) rounds = $1
    if ($5 == "max_children" && $6 > most[key]) most[key] = $6
  }
  function cell(sys, key, m,   x) { x = median(v[sys, key, m]); return x == "" ? "-" : sprintf("%.0f", x) }
  function ratio(sys, key,   r, list, x) {
    list = ""
    for (r = 1; r <= rounds; r++)
      if (((r, "quavd", key, "rate") in at) && ((r, sys, key, "rate") in at) && at[r, sys, key, "rate"] > 0)
        list = list " " at[r, "quavd", key, "rate"] / at[r, sys, key, "rate"]
    x = median(list)
    return x == "" ? "-" : sprintf("%.2f", x)
  }
  END {
    printf "%3s %-5s %9s %9s %9s %9s | %8s %8s %8s %8s | %9s %9s | %8s\n", "K", "prog", "quavd", "tcpserver", "socat", "xinetd",
      "/tcpsrv", "/socat", "/xinetd", "/before", "quavd p50", "tcps p50", "handlers"
    for (i = 1; i <= nkeys; i++) {
      key = order[i]; split(key, kp, SUBSEP)
      printf "%3s %-5s %9s %9s %9s %9s | %8s %8s %8s %8s | %9s %9s | %8s\n", kp[1], kp[2], cell("quavd", key, "rate"),
        cell("tcpserver", key, "rate"), cell("socat", key, "rate"), cell("xinetd", key, "rate"),
        ratio("tcpserver", key), ratio("socat", key), ratio("xinetd", key), ratio("before", key),
        cell("quavd", key, "p50_us"), cell("tcpserver", key, "p50_us"), most[key]
    }
    print ""
    print "requests/s medians; ratios: median of the per-round quavd/X; p50 latency in us; handlers: the most"
    print "handler processes of quavd seen at once (sampled every 2 ms)"
    printf "quavd -c resident size: %s KiB after warm-up, per round:%s KiB, %s KiB at the end\n", rss_start, rss_rounds, rss_end
  }' "$conc_results"
echo
echo "proportional set size, KiB / child processes (the listener or server and its children together):"
cat "$work/pss"
fi

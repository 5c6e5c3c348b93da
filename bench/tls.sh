#!/usr/bin/env bash
# TLS: quavd --tls-cert/--tls-key/--tls-ca against socat OPENSSL-LISTEN
# (fork, EXEC of the program) and stunnel in front of plain quavd, with the
# same ECDSA P-256 certificates and client certificates required; and quavd
# with TLS against quavd plain. Rows: requests/s (a new handshake each) and
# the relay of RELAY_BYTES. Each round measures every system in turn; the
# ratios are taken within a round, then the median. Loopback only, bounded.
#
#   bench/tls.sh              # or FIGURES=tls bench/run.sh
#   ROUNDS=5 bench/tls.sh
set -euo pipefail

ROUNDS=${ROUNDS:-3}
REQUESTS=${REQUESTS:-2000}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-3}
RELAY_BYTES=${RELAY_BYTES:-536870912}

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_setup tls quavd loadgen tls_loadgen bench_true bench_emit
for tool in socat stunnel4 openssl; do
  command -v $tool >/dev/null || { echo "tls.sh: $tool is missing (apt-get install socat stunnel4 openssl)" >&2; exit 1; }
done
loadgen=$build/bench/loadgen
tls=$build/bench/tls_loadgen

"$repo/tests/certs.sh" "$work"
mkdir -p "$work/root/bin"
cp "$build/bench/scripts/true" "$build/bench/scripts/emit" "$work/root/bin/"
c=$work
start() {  # PORT COMMAND...
  local port=$1
  shift
  (cd "$work/root" && exec "$@" </dev/null >>"$work/servers.log" 2>&1) &
  pids+=($!)
  "$loadgen" wait-listen "$port" 10
}
port() { "$loadgen" free-port; }

tls_opts=(--tls-cert "$c/server.pem" --tls-key "$c/server.key" --tls-ca "$c/ca.pem")
qt=$(port) && start "$qt" "$build/quavd" -p "$qt" -b 127.0.0.1 -l -c 1 "${tls_opts[@]}"
qp=$(port) && start "$qp" "$build/quavd" -p "$qp" -b 127.0.0.1 -l -c 1
declare -A socat_port
for s in true emit; do
  arg=""
  [[ $s == emit ]] && arg=" $RELAY_BYTES"
  socat_port[$s]=$(port)
  start "${socat_port[$s]}" socat "OPENSSL-LISTEN:${socat_port[$s]},bind=127.0.0.1,fork,reuseaddr,backlog=64,cert=$c/server.pem,key=$c/server.key,cafile=$c/ca.pem,verify=1" \
    "EXEC:$work/root/bin/$s$arg"
done
st=$(port)
cat >"$work/stunnel.conf" <<CONF
foreground = yes
pid =
[quavd]
accept = 127.0.0.1:$st
connect = 127.0.0.1:$qp
cert = $c/server.pem
key = $c/server.key
CAfile = $c/ca.pem
verify = 2
CONF
start "$st" stunnel4 "$work/stunnel.conf"

results=$work/results
: >"$results"
# record ROUND SYSTEM ROW ARGS...: one measurement, its rate or MiB/s kept.
record() {
  local out
  out=$(timeout 300 "$tls" "${@:4}") || { echo "FAILED: $2 $3: tls_loadgen ${*:4}" >&2; exit 1; }
  for kv in $out; do
    case $kv in rate=* | mibps=*) echo "$1 $2 $3 ${kv#*=}" >>"$results" ;; esac
  done
}
measure() {
  local r=$1
  case $2 in
    quavd-tls)
      record "$r" quavd-tls rate rate "$qt" "$REQUESTS" "$SECONDS_PER_RUN" "$c" bin/true
      record "$r" quavd-tls relay relay "$qt" "$RELAY_BYTES" "$c" "bin/emit+$RELAY_BYTES" ;;
    quavd-plain)
      record "$r" quavd-plain rate rate "$qp" "$REQUESTS" "$SECONDS_PER_RUN" plain bin/true
      record "$r" quavd-plain relay relay "$qp" "$RELAY_BYTES" plain "bin/emit+$RELAY_BYTES" ;;
    stunnel)
      record "$r" stunnel rate rate "$st" "$REQUESTS" "$SECONDS_PER_RUN" "$c" bin/true
      record "$r" stunnel relay relay "$st" "$RELAY_BYTES" "$c" "bin/emit+$RELAY_BYTES" ;;
    socat)
      record "$r" socat rate rate "${socat_port[true]}" "$REQUESTS" "$SECONDS_PER_RUN" "$c"
      record "$r" socat relay relay "${socat_port[emit]}" "$RELAY_BYTES" "$c" ;;
  esac
}

"$tls" rate "$qt" 20 5 "$c" bin/true >/dev/null
systems=(quavd-tls stunnel socat quavd-plain)
for ((r = 1; r <= ROUNDS; r++)); do
  for ((i = 0; i < ${#systems[@]}; i++)); do
    sys=${systems[$(((i + r - 1) % ${#systems[@]}))]}
    echo "round $r: $sys" >&2
    measure "$r" "$sys"
  done
done
# The kernel's TLS counters, where its tls module is loaded, tell which
# path the daemon's records took.
if [[ -r /proc/net/tls_stat ]]; then
  ktls="kernel TLS: $(awk '/TlsTxSw|TlsTxDevice|TlsCurrTxSw/ {printf "%s=%s ", $1, $2}' /proc/net/tls_stat)"
else
  ktls="kernel TLS: not offered (no /proc/net/tls_stat: the tls module is not loaded); OpenSSL encrypted in user space"
fi

awk -v rounds="$ROUNDS" -v ktls="$ktls" '
  { v[$1, $2, $3] = $4; sys[$2] = 1; row[$3] = 1 }
  function median(a, n,   i, j, t) {
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  END {
    split("rate relay", rows, " ")
    split("stunnel socat quavd-plain", peers, " ")
    printf "| median | quavd TLS | stunnel + quavd | socat | quavd plain |\n|---|---|---|---|---|\n"
    for (k = 1; k <= 2; k++) {
      printf "| %s |", rows[k] == "rate" ? "requests/s" : "relay MiB/s"
      split("quavd-tls stunnel socat quavd-plain", all, " ")
      for (s = 1; s <= 4; s++) { for (r = 1; r <= rounds; r++) a[r] = v[r, all[s], rows[k]]; printf " %.0f |", median(a, rounds) }
      printf "\n"
    }
    printf "\n| quavd TLS / X | stunnel + quavd | socat | quavd plain |\n|---|---|---|---|\n"
    for (k = 1; k <= 2; k++) {
      printf "| %s |", rows[k] == "rate" ? "requests/s" : "relay"
      for (p = 1; p <= 3; p++) { for (r = 1; r <= rounds; r++) a[r] = v[r, "quavd-tls", rows[k]] / v[r, peers[p], rows[k]]; printf " %.2f |", median(a, rounds) }
      printf "\n"
    }
    print "\n" ktls
  }' "$results"

#!/usr/bin/env bash
# Throughput and latency of the diverted path (root): dnsperf in the client
# namespace asks 10.53.0.1, palvexdrv diverts every query to the program
# (`tarnwick /ServiceMode`), which resolves it through unbound on the
# client's loopback; in the same run dnsperf asks that unbound directly. Prints queries per second and
# average latency of both and their ratio. Bounded: at most
# TARNWICK_BENCH_QUERIES queries (100000) and TARNWICK_BENCH_SECONDS (10) per
# side. A benchmark, never a test.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TARNWICK_BUILD_DIR:-build}
queries=${TARNWICK_BENCH_QUERIES:-100000}
seconds=${TARNWICK_BENCH_SECONDS:-10}
clients=${TARNWICK_BENCH_CLIENTS:-4}
command -v dnsperf >/dev/null || { echo "dnsperf is needed: run scripts/bootstrap" >&2; exit 1; }
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target palvexdrv tarnwick >/dev/null

source scripts/lib/diversion_topology.sh
TOPO_PROGRAM=tarnwick
topo_up "$build"
topo_conf 0 2147483647
topo_start 1  # errors only: the log is not what is measured

names=$TOPO_DIR/names.txt
for i in $(seq 1000); do echo "www.example.test A"; echo "www.example.test AAAA"; done > "$names"

run() {  # label, server, port
  local out=$TOPO_DIR/$1.txt
  topo_client dnsperf -s "$2" -p "$3" -d "$names" -c "$clients" -n $(( (queries + 1999) / 2000 )) \
    -l "$seconds" -t 2 > "$out" 2>&1 || { cat "$out" >&2; topo_fail "dnsperf failed for $1"; }
  local qps latency lost
  qps=$(awk '/Queries per second:/ {print $4}' "$out")
  latency=$(awk '/Average Latency \(s\):/ {print $4}' "$out")
  lost=$(awk '/Queries lost:/ {print $3}' "$out")
  printf '%-10s %12s qps  %10s s average latency  %s lost\n' "$1" "$qps" "$latency" "$lost"
  eval "${1}_qps=$qps ${1}_latency=$latency"
}

echo "dnsperf: $clients clients, at most $queries queries and $seconds s per side"
run diverted $TOPO_SERVER_ADDRESS4 53
run direct 127.0.0.1 $TOPO_UPSTREAM_PORT
awk -v dq="$diverted_qps" -v sq="$direct_qps" -v dl="$diverted_latency" -v sl="$direct_latency" 'BEGIN {
  printf "diverted/direct: %.3f of the throughput, %.2f times the latency\n", dq / sq, (sl > 0 ? dl / sl : 0) }'

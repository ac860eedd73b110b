#!/usr/bin/env bash
# Throughput, latency and CPU of the diverted path (root), in one run on one
# topology: palvexdrv diverts every query a client in the client namespace
# sends to 10.53.0.1 to the program (`tarnwick /ServiceMode`), which resolves it through unbound on
# the client's loopback. Measured side by side:
#   direct     the same unbound, asked directly
#   dnsdist    a forwarder without a packet cache in front of that unbound
#   diverted   through palvexdrv and the engine
#   diverted53 the same with the upstream unbound on port 53 of the loopback
#              (so the engine's own queries cross the queue too)
# Load: dnsperf, TARNWICK_BENCH_CLIENTS (4) sockets, at most
# TARNWICK_BENCH_QUERIES (100000) queries and TARNWICK_BENCH_SECONDS (10)
# per side. Latency: bench/latency_client, one query outstanding, at most
# TARNWICK_BENCH_LATENCY_QUERIES (5000) per side, p50/p90/p99. CPU: user and
# system time of palvexdrv plus the engine over the diverted load run, from
# /proc/PID/stat, per answered query; context switches of their threads
# likewise. Each figure also as a ratio to direct.
#
#   bench/diverted_path.sh [--out FILE] [--no-build]
#
# --out writes key=value lines; --no-build measures the binaries already
# in the build folder (TARNWICK_BUILD_DIR, build). A benchmark, never a test;
# traffic stays in the namespaces it makes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TARNWICK_BUILD_DIR:-build}
queries=${TARNWICK_BENCH_QUERIES:-100000}
seconds=${TARNWICK_BENCH_SECONDS:-10}
clients=${TARNWICK_BENCH_CLIENTS:-4}
latency_queries=${TARNWICK_BENCH_LATENCY_QUERIES:-5000}
out= build_now=1
while [[ $# -gt 0 ]]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --no-build) build_now=; shift ;;
    *) echo "usage: $0 [--out FILE] [--no-build]" >&2; exit 2 ;;
  esac
done
command -v dnsperf >/dev/null || { echo "dnsperf is needed: run scripts/bootstrap" >&2; exit 1; }
if [[ -n $build_now ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target palvexdrv tarnwick latency_client >/dev/null
fi
latency_client=$(cd "$build" && pwd)/bench/latency_client
[[ -x $latency_client ]] || { echo "build bench/latency_client first" >&2; exit 1; }

source scripts/lib/diversion_topology.sh
TOPO_PROGRAM=tarnwick
figures=()  # key=value

names_file() {
  for i in $(seq 1000); do echo "www.example.test A"; echo "www.example.test AAAA"; done > "$TOPO_DIR/names.txt"
}

# Seconds of CPU (user + system) of the processes, in clock ticks.
cpu_ticks() {
  local pid total=0
  for pid in "$@"; do
    # Fields after the command's closing parenthesis: utime is the 12th, stime the 13th.
    total=$(( total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}') ))
  done
  echo $total
}

context_switches() {
  local pid total=0 file
  for pid in "$@"; do
    for file in /proc/$pid/task/*/status; do
      total=$(( total + $(awk '/^(non)?voluntary_ctxt_switches:/ {s += $2} END {print s + 0}' "$file" 2>/dev/null || echo 0) ))
    done
  done
  echo $total
}

load() {  # label server port [pids to account]
  local label=$1 server=$2 port=$3; shift 3
  local file=$TOPO_DIR/$label.txt ticks0 ticks1 switches0 switches1
  ticks0=$(cpu_ticks "$@") switches0=$(context_switches "$@")
  topo_client dnsperf -s "$server" -p "$port" -d "$TOPO_DIR/names.txt" -c "$clients" -n $(( (queries + 1999) / 2000 )) \
    -l "$seconds" -t 2 > "$file" 2>&1 || { cat "$file" >&2; topo_fail "dnsperf failed for $label"; }
  ticks1=$(cpu_ticks "$@") switches1=$(context_switches "$@")
  local qps lost completed
  qps=$(awk '/Queries per second:/ {print $4}' "$file")
  lost=$(awk '/Queries lost:/ {print $3}' "$file")
  completed=$(awk '/Queries completed:/ {print $3}' "$file")
  figures+=("${label}_qps=$qps" "${label}_lost=$lost")
  if [[ $# -gt 0 && ${completed:-0} -gt 0 ]]; then
    local hz
    hz=$(getconf CLK_TCK)
    figures+=("${label}_cpu_us_per_query=$(awk -v t=$(( ticks1 - ticks0 )) -v hz=$hz -v q=$completed 'BEGIN {printf "%.1f", t * 1e6 / hz / q}')")
    figures+=("${label}_switches_per_query=$(awk -v s=$(( switches1 - switches0 )) -v q=$completed 'BEGIN {printf "%.2f", s / q}')")
  fi
}

latency() {  # label server port
  local line
  line=$(topo_client "$latency_client" "$2" "$3" "$latency_queries" "$seconds") || topo_fail "latency client failed for $1"
  read -r _ count _ lost _ p50 _ p90 _ p99 <<<"$line"
  figures+=("${1}_latency_queries=$count" "${1}_latency_lost=$lost" "${1}_p50_us=$p50" "${1}_p90_us=$p90" "${1}_p99_us=$p99")
}

dnsdist_start() {  # port
  command -v dnsdist >/dev/null || return 1
  cat > "$TOPO_DIR/dnsdist.conf" <<EOF
setLocal("127.0.0.1:$1")
newServer({address="127.0.0.1:$TOPO_UPSTREAM_PORT", checkInterval=3600})
setSecurityPollSuffix("")
EOF
  ip netns exec "$TOPO_CLIENT" dnsdist --supervised --disable-syslog -C "$TOPO_DIR/dnsdist.conf" >"$TOPO_DIR/dnsdist.log" 2>&1 &
  TOPO_PIDS+=($!)
  topo_wait_dns topo_client 127.0.0.1 "$1"
}

value() { local f; for f in "${figures[@]}"; do [[ ${f%%=*} == "$1" ]] && { echo "${f#*=}"; return; }; done; echo 0; }

echo "dnsperf: $clients clients, at most $queries queries and $seconds s per side;" \
  "latency: one outstanding, at most $latency_queries queries per side"

# Pass 1: the upstream on port 5301.
topo_up "$build"
topo_conf 0 2147483647
topo_start 1  # errors only: the log is not what is measured
names_file
program_pid=${TOPO_PIDS[-1]}
load direct 127.0.0.1 $TOPO_UPSTREAM_PORT
latency direct 127.0.0.1 $TOPO_UPSTREAM_PORT
if dnsdist_start 5302; then
  load dnsdist 127.0.0.1 5302
  latency dnsdist 127.0.0.1 5302
else
  echo "dnsdist is not installed: its figures are left out (scripts/bootstrap installs it)" >&2
fi
load diverted $TOPO_SERVER_ADDRESS4 53 "$TOPO_PALVEXDRV_PID" "$program_pid"
latency diverted $TOPO_SERVER_ADDRESS4 53
topo_down

# Pass 2: the upstream on port 53, as real servers are.
TOPO_UPSTREAM_PORT=53
topo_up "$build"
topo_conf 0 2147483647
topo_start 1
names_file
program_pid=${TOPO_PIDS[-1]}
load diverted53 $TOPO_SERVER_ADDRESS4 53 "$TOPO_PALVEXDRV_PID" "$program_pid"
latency diverted53 $TOPO_SERVER_ADDRESS4 53
topo_down

direct_qps=$(value direct_qps)
direct_p50=$(value direct_p50_us)
for label in dnsdist diverted diverted53; do
  [[ $(value ${label}_qps) != 0 ]] || continue
  figures+=("${label}_qps_ratio=$(awk -v a="$(value ${label}_qps)" -v b="$direct_qps" 'BEGIN {printf "%.3f", (b > 0 ? a / b : 0)}')")
  for p in p50 p90 p99; do
    figures+=("${label}_${p}_ratio=$(awk -v a="$(value ${label}_${p}_us)" -v b="$(value direct_${p}_us)" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}')")
  done
  figures+=("${label}_p50_over_direct_us=$(awk -v a="$(value ${label}_p50_us)" -v b="$direct_p50" 'BEGIN {printf "%.1f", a - b}')")
done

printf '%-11s %10s %8s %9s %9s %9s %8s %12s %10s\n' side qps ratio p50_us p90_us p99_us p50_x cpu_us/query switches/q
for label in direct dnsdist diverted diverted53; do
  [[ $(value ${label}_qps) != 0 ]] || continue
  ratio=$(value ${label}_qps_ratio) p50x=$(value ${label}_p50_ratio)
  [[ $label == direct ]] && ratio=1.000 p50x=1.00
  cpu=$(value ${label}_cpu_us_per_query) switches=$(value ${label}_switches_per_query)
  [[ $label == direct || $label == dnsdist ]] && cpu=- switches=-
  printf '%-11s %10.0f %8s %9s %9s %9s %8s %12s %10s\n' $label "$(value ${label}_qps)" "$ratio" \
    "$(value ${label}_p50_us)" "$(value ${label}_p90_us)" "$(value ${label}_p99_us)" "$p50x" "$cpu" "$switches"
done
if [[ -n $out ]]; then printf '%s\n' "${figures[@]}" > "$out"; echo "figures written to $out"; fi

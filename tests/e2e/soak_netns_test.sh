#!/usr/bin/env bash
# The engine under a faulty upstream for a while, in network namespaces
# (root). dnsperf in the client namespace sends unique names at a fixed rate
# in two equal phases; the harness takes them through palvexdrv to the fault
# proxy (tests/e2e/fault_proxy.py) over UDP, plain TCP and DNS over TLS, in
# front of the upstream unbound, and to named's signed secure.test. through
# the proxy's DNSSEC port (every tenth sub-query dropped) under a
# local-validation rule. The query name's first label says what the proxy
# does. After each phase every table of the engine must drain within 70 s
# (the harness's --table-sizes) and the descriptor count return to its
# baseline; RSS is printed. The client may only ever get NOERROR answers to
# names that have one and REFUSED to refused ones: nothing of garbage, short,
# wrongid, late, big, silent, reset or overlong.
#
#   soak_netns_test.sh SOURCE_DIR BUILD_DIR      SOAK_SECONDS (120, at most 3600), SOAK_RATE (queries/s, 40)
set -euo pipefail
source_dir=$1 build=$2
seconds=${SOAK_SECONDS:-120}
rate=${SOAK_RATE:-40}
[[ $seconds =~ ^[0-9]+$ && $seconds -ge 20 && $seconds -le 3600 ]] || { echo "FAIL: SOAK_SECONDS is 20..3600"; exit 1; }
[[ $rate =~ ^[0-9]+$ && $rate -ge 1 ]] || { echo "FAIL: SOAK_RATE is a positive number"; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root to make network namespaces"; exit 77; }
for tool in dnsperf named dnssec-keygen dnssec-signzone python3; do
  command -v $tool >/dev/null || { echo "FAIL: $tool is needed: run scripts/bootstrap"; exit 1; }
done
source "$source_dir/scripts/lib/diversion_topology.sh"
ca_tool=$build/tests/support/test_ca_tool
[[ -x $ca_tool ]] || topo_fail "build test_ca_tool in $build first"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

topo_up "$build"
"$ca_tool" "$TOPO_DIR" --ip 127.0.0.1 >/dev/null || topo_fail "no test certificates"

# named with secure.test. signed under test., whose key is the harness's
# root.key; a short TTL, so that the sub-answer cache drains in the wait.
zones=$TOPO_DIR/zones
mkdir -p "$zones"
make_zone() {  # origin, records; prints the key's base name
  local origin=$1 key
  printf '$TTL 10\n@ IN SOA ns.%s admin.%s 1 3600 600 86400 10\n@ IN NS ns.%s\nns IN A 127.0.0.1\n%s\n' \
    "$origin" "$origin" "$origin" "$2" > "$zones/${origin}db"
  key=$(dnssec-keygen -q -K "$zones" -a ECDSAP256SHA256 -f KSK -n ZONE "$origin")
  echo "\$INCLUDE $zones/$key.key" >> "$zones/${origin}db"
  dnssec-signzone -q -z -K "$zones" -d "$zones" -o "$origin" -f "$zones/${origin}db.signed" "$zones/${origin}db" "$key" >/dev/null
  echo "$key"
}
secure_key=$(make_zone secure.test. "$(for i in $(seq 0 19); do echo "n$i IN A 192.0.2.70"; done)")
test_key=$(make_zone test. "$(printf 'secure IN NS ns.secure.test.\nns.secure IN A 127.0.0.1\n%s' \
  "$(dnssec-dsfromkey -2 "$zones/$secure_key.key")")")
cat > "$zones/named.conf" <<CONF
options {
  directory "$zones"; pid-file none; session-keyfile "$zones/session.key";
  listen-on port $TOPO_NAMED_PORT { 127.0.0.1; }; listen-on-v6 { none; };
  recursion no; dnssec-validation no; notify no;
};
zone "test." { type primary; file "$zones/test.db.signed"; };
zone "secure.test." { type primary; file "$zones/secure.test.db.signed"; };
CONF
topo_start_named "$zones/named.conf"

# The proxy on the client's loopback: UDP and TCP on 5310, DoT on 5311, the
# DNSSEC road on 5312.
ip netns exec "$TOPO_CLIENT" python3 "$source_dir/tests/e2e/fault_proxy.py" --address 127.0.0.1 --port 5310 \
  --tls-port 5311 --cert "$TOPO_DIR/leaf.pem" --key "$TOPO_DIR/leaf.key" --upstream 127.0.0.1:$TOPO_UPSTREAM_PORT \
  --dnssec-port 5312 --dnssec-upstream 127.0.0.1:$TOPO_NAMED_PORT --stats "$TOPO_DIR/proxy.stats" \
  >"$TOPO_DIR/proxy.log" 2>&1 &
proxy_pid=$!
TOPO_PIDS+=($proxy_pid)
for _ in $(seq 100); do grep -q "listening" "$TOPO_DIR/proxy.log" && break; sleep 0.1; done
grep -q "listening" "$TOPO_DIR/proxy.log" || topo_fail "the fault proxy did not start: $(cat "$TOPO_DIR/proxy.log")"

# Every name under soak.test. has an address at the upstream.
TOPO_UPSTREAM_LINES=$'  local-zone: "soak.test." redirect\n  local-data: "soak.test. 60 IN A 192.0.2.99"'
server() {  # id, name, port, protocol, tcp
  printf '\t<DnsServer id="%s" name="%s" port="%s" protocol="%s" af="2" ip="127.0.0.1" plain_use_tcp="%s" dot_host_name="" />\n' "$@"
}
TOPO_EXTRA_RULES=$(topo_rule Udp "*.udp.soak.test" 1101; topo_rule Tcp "*.tcp.soak.test" 1102; topo_rule Dot "*.dot.soak.test" 1103
  printf '\t<Rule name="Validated" enabled="1" dnssec_local_validation="1" dnssec_reject_unsigned="0" block_return_zero_ip="0" hostnames="*.secure.test" action="process_server" action_id="1104" interface_id="" />\n')
TOPO_EXTRA_SERVERS=$(server 1101 ProxyUdp 5310 plain 0; server 1102 ProxyTcp 5310 plain 1; server 1103 ProxyDot 5311 dot 0
  server 1104 ProxyDnssec 5312 plain 0)
TOPO_HARNESS_ARGS=(--trust-ca "$TOPO_DIR/ca.pem" --table-sizes "$TOPO_DIR/sizes")
topo_conf 30 100
cp "$zones/$test_key.key" "$TOPO_DIR/root.key"
cd "$TOPO_DIR"
topo_start 3

size() { sed -n "s/^$1=//p" "$TOPO_DIR/sizes" 2>/dev/null; }
for _ in $(seq 50); do [[ -s $TOPO_DIR/sizes ]] && break; sleep 0.1; done
[[ -s $TOPO_DIR/sizes ]] || topo_fail "the harness writes no table sizes"
sleep 1.5  # one more write, after the start's own descriptors
fds_baseline=$(size fds)

# One cycle of names: (kind, transport) pairs; unique names per phase.
cycle=(ok.udp ok.udp ok.udp ok.udp ok.udp ok.udp silent.udp refused.udp tc.udp garbage.udp short.udp wrongid.udp
  late.udp big.udp ok.tcp ok.tcp reset.tcp overlong.tcp silent.tcp ok.dot ok.dot reset.dot overlong.dot silent.dot
  dnssec dnssec)
phase_seconds=$((seconds / 2))
per_phase=$((phase_seconds * rate))

drained() {
  awk -F= '$1 ~ /^(pending|udp|tcp|tls|quic|socket_events|dnssec_checks|dnssec_answers|dnssec_cache)$/ && $2 != 0 { busy = 1 }
    END { exit busy }' "$TOPO_DIR/sizes"
}

run_phase() {  # phase number
  local phase=$1 file=$TOPO_DIR/queries.$1 n=${#cycle[@]}
  awk -v count="$per_phase" -v phase="$phase" -v cycle="${cycle[*]}" 'BEGIN {
    k = split(cycle, entries, " ")
    for (i = 0; i < count; i++) {
      e = entries[i % k + 1]
      if (e == "dnssec") { print "n" (i % 20) ".secure.test A"; continue }
      split(e, part, ".")
      print part[1] ".p" phase "-" i "." part[2] ".soak.test A"
    }
  }' > "$file"
  topo_client dnsperf -s $TOPO_SERVER_ADDRESS4 -p 53 -d "$file" -n 1 -Q "$rate" -q 2000 -t 5 \
    > "$TOPO_DIR/dnsperf.$phase" 2>&1 || fail "phase $phase: dnsperf failed: $(cat "$TOPO_DIR/dnsperf.$phase")"

  # What may come back: NOERROR to ok, tc and the DNSSEC names, REFUSED to
  # refused; at least half of those (the road works at all).
  local cycles=$((per_phase / n)) noerror refused other completed
  local may_noerror=$(( (cycles + 1) * 13 )) may_refused=$((cycles + 1))
  noerror=$(grep -o 'NOERROR [0-9]*' "$TOPO_DIR/dnsperf.$phase" | awk '{ print $2 }' || true)
  refused=$(grep -o 'REFUSED [0-9]*' "$TOPO_DIR/dnsperf.$phase" | awk '{ print $2 }' || true)
  completed=$(sed -n 's/^ *Queries completed: *\([0-9]*\).*/\1/p' "$TOPO_DIR/dnsperf.$phase")
  other=$(( ${completed:-0} - ${noerror:-0} - ${refused:-0} ))
  [[ ${noerror:-0} -le $may_noerror ]] || fail "phase $phase: $noerror NOERROR answers, at most $may_noerror have one"
  [[ ${refused:-0} -le $may_refused ]] || fail "phase $phase: $refused REFUSED answers, at most $may_refused were refused"
  [[ $other -eq 0 ]] || fail "phase $phase: $other answers of another code: $(grep 'Response codes' "$TOPO_DIR/dnsperf.$phase")"
  [[ $(( ${noerror:-0} + ${refused:-0} )) -ge $(( cycles * 12 / 2 )) ]] \
    || fail "phase $phase: only ${completed:-0} answers: $(cat "$TOPO_DIR/dnsperf.$phase")"

  local sent_at=$SECONDS
  until drained; do
    if [[ $((SECONDS - sent_at)) -ge 70 ]]; then
      fail "phase $phase: the engine's tables did not drain in 70 s: $(tr '\n' ' ' < "$TOPO_DIR/sizes")"
      break
    fi
    sleep 0.2
  done
  local waited=$((SECONDS - sent_at))
  sleep 1.5  # a write after the drain
  local fds
  fds=$(size fds)
  [[ $fds -le $fds_baseline ]] || fail "phase $phase: $fds descriptors open, $fds_baseline before the first phase"
  echo "phase $phase: $per_phase queries at $rate/s, ${completed:-0} answered (NOERROR ${noerror:-0}, REFUSED ${refused:-0}), drained in $waited s, fds $fds (baseline $fds_baseline), rss_bytes $(size rss_bytes)"
}

run_phase 1
run_phase 2

kill -TERM $proxy_pid 2>/dev/null || true
for _ in $(seq 50); do [[ -s $TOPO_DIR/proxy.stats ]] && break; sleep 0.1; done
echo "proxy: $(tr '\n' ' ' < "$TOPO_DIR/proxy.stats" 2>/dev/null)"
grep -q "DNSSEC check passed" "$TOPO_LOG" || fail "no DNSSEC check passed"

if [[ $failures -ne 0 ]]; then
  echo "--- harness log (tail)"; tail -n 60 "$TOPO_LOG"
  echo "--- proxy"; tail -n 20 "$TOPO_DIR/proxy.log"
  exit 1
fi
echo "PASS"

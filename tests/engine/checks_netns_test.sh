#!/usr/bin/env bash
# The server checker and the captive-portal detector on the whole road, in
# network namespaces (root). The harness checks every server of its
# conf-file once at start; then an upstream that never answers makes the
# engine probe the connectivity-test host, which the stub in the server
# namespace resolves to a web server there. While that server shows a
# portal page every query is bypassed to the stub; once it serves the
# expected text, queries resolve upstream again.
#
#   checks_netns_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build=$2
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root to make network namespaces"; exit 77; }
source "$source_dir/scripts/lib/diversion_topology.sh"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
log_count() { grep -c -- "$1" "$TOPO_LOG" || true; }
wait_for_log() {  # text, seconds
  for _ in $(seq $(($2 * 10))); do grep -q -- "$1" "$TOPO_LOG" && return 0; sleep 0.1; done
  return 1
}
ask() {  # name
  out=$(topo_client dig @$TOPO_SERVER_ADDRESS4 +tries=1 +timeout=2 +noall +answer +comments "$1" A) || true
}
answers() { awk '!/^;/ && NF >= 5 { print $2, $5 }' <<< "$out"; }

probe_host=www.msftconnecttest.com
topo_up "$build"
topo_conf 30 100
# Portal detection on, and the checker's test target the upstream knows.
sed -i -e 's/captivePortalDetection="0"/captivePortalDetection="1"/' \
  -e 's|interceptOthers="0" />|interceptOthers="0"><DnsChecker testTarget="www.example.test" testsPerTime="15" /></Settings>|' \
  "$TOPO_CONF"
web=$TOPO_DIR/web
mkdir -p "$web"
echo "<html>Sign in to the network</html>" > "$web/connecttest.txt"
TOPO_STUB_RECORDS=("$probe_host. 60 IN A $TOPO_SERVER_ADDRESS4")
TOPO_RESOLVER=$TOPO_SERVER_ADDRESS4
TOPO_HARNESS_ARGS=(--check-servers)
topo_http_start "$web"
topo_start 4

# The checker: two timed answers from the upstream; the stub has no such name.
upstream_ok="DNS Server Checker: Server Upstream (Plain, 127.0.0.1:$TOPO_UPSTREAM_PORT): OK, rtt="
for _ in $(seq 100); do [[ $(log_count "$upstream_ok") -ge 2 ]] && break; sleep 0.1; done
[[ $(log_count "$upstream_ok") -eq 2 ]] || fail "the upstream was not checked OK twice"
wait_for_log "DNS Server Checker: Server Stub (Plain, $TOPO_SERVER_ADDRESS4): Non-existent domain" 10 \
  || fail "the stub's check did not fail with Non-existent domain"

# The silent upstream's time-out starts a check, which finds the portal. The
# probe's own resolution asks the stub directly: the driver never diverts the
# engine's own process.
ask www.silent.test
wait_for_log "Captive Portal detected. Use system resolver for all queries." 20 || fail "the portal was not detected"
grep -q "Captive Portal Detector: $probe_host=$TOPO_SERVER_ADDRESS4" "$TOPO_LOG" || fail "the probe host was not resolved by the stub"
ask www.example.test
wait_for_log "www.example.test - bypass (Captive Portal detected)" 5 || fail "a query went upstream under the portal"
[[ -z $(answers) ]] || fail "the stub answered www.example.test: $out"

# The portal is gone: the next check (at most one per 3 s) sees the text.
echo -n "Microsoft Connect Test" > "$web/connecttest.txt"
for _ in $(seq 15); do
  grep -q "Captive Portal disabled. Use normal rules for all queries." "$TOPO_LOG" && break
  ask www.example.test
  sleep 1
done
wait_for_log "Captive Portal disabled. Use normal rules for all queries." 10 || fail "the portal was not seen gone"
ask www.example.test
[[ $(answers) == "100 192.0.2.10" ]] || fail "www.example.test did not resolve upstream again: $out"

if [[ $failures -gt 0 ]]; then
  echo "-- engine log:"; cat "$TOPO_LOG"
  exit 1
fi
echo "every case passed"

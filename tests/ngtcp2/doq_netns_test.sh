#!/usr/bin/env bash
# The DoQ test server in the server namespace, the client probe in the
# client namespace (root): the probe trusts the server's CA, its first
# connection is closed for the certificate check, the second is answered.
#
#   doq_netns_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build=$2
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root to make network namespaces"; exit 77; }
source "$source_dir/scripts/lib/diversion_topology.sh"

server=$build/tests/ngtcp2/doq_test_server
probe=$build/tests/ngtcp2/doq_probe
[[ -x $server && -x $probe ]] || topo_fail "build doq_test_server and doq_probe in $build first"

topo_up "$build"
ca=$TOPO_DIR/doq-ca.pem
ip netns exec "$TOPO_SERVER" "$server" --listen $TOPO_SERVER_ADDRESS4 --port 853 --write-ca "$ca" \
  --leaf-name doq.test --leaf-address $TOPO_SERVER_ADDRESS4 --answer-a 192.0.2.85 > "$TOPO_DIR/server.log" 2>&1 &
TOPO_PIDS+=($!)
for _ in $(seq 100); do grep -q "listening" "$TOPO_DIR/server.log" 2>/dev/null && break; sleep 0.1; done
grep -q "listening" "$TOPO_DIR/server.log" || topo_fail "the server did not start: $(cat "$TOPO_DIR/server.log")"

status=0
out=$(timeout 60 ip netns exec "$TOPO_CLIENT" "$probe" --ca "$ca" --server $TOPO_SERVER_ADDRESS4 --port 853 \
  --host doq.test --name www.example.test --attempts 2) || status=$?
echo "$out"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
grep -q "^attempt 1: failed" <<< "$out" || fail "the first query was not failed for the certificate check"
grep -q "will be validated" <<< "$out" || fail "no certificate check was started"
grep -q "doq.test is valid" <<< "$out" || fail "the certificate was not found valid"
grep -q "^attempt 2: answered" <<< "$out" || fail "the second query was not answered"
[[ $status -eq 0 ]] || fail "the probe exited with $status"
[[ $failures -eq 0 ]] || exit 1
echo "PASS"

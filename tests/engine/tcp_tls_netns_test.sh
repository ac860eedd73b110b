#!/usr/bin/env bash
# Plain DNS over TCP and DNS over TLS on the diverted road in network
# namespaces (root): dig in the client namespace asks 10.53.0.1; the engine
# harness resolves through the upstream unbound on the client's loopback,
# over TCP or over TLS with a leaf made now by a test CA that the harness
# trusts. A server name the leaf does not carry leaves dig unanswered.
#
#   tcp_tls_netns_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build=$2
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root to make network namespaces"; exit 77; }
source "$source_dir/scripts/lib/diversion_topology.sh"
ca_tool=$build/tests/support/test_ca_tool
[[ -x $ca_tool ]] || topo_fail "build test_ca_tool in $build first"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

topo_up "$build"
"$ca_tool" "$TOPO_DIR" --ip 127.0.0.1 --dns dot.example.test || topo_fail "no test certificates"
TOPO_UPSTREAM_TLS_PORT=8853
TOPO_UPSTREAM_TLS_PEM=$TOPO_DIR/leaf.pem
TOPO_UPSTREAM_TLS_KEY=$TOPO_DIR/leaf.key
TOPO_UPSTREAM_RECORDS=("www.tcp.test. 300 IN A 192.0.2.21" "www.dot.test. 300 IN A 192.0.2.22"
  "www.wrongname.test. 300 IN A 192.0.2.23")
TOPO_HARNESS_ARGS=(--trust-ca "$TOPO_DIR/ca.pem")
rule() {  # name, hostnames, server id
  printf '\t<Rule name="%s" enabled="1" dnssec_local_validation="0" dnssec_reject_unsigned="0" block_return_zero_ip="1" hostnames="%s" action="process_server" action_id="%s" interface_id="" />\n' "$@"
}
TOPO_EXTRA_RULES=$(rule Tcp "*.tcp.test" 1004; rule Dot "*.dot.test" 1005; rule Wrong "*.wrongname.test" 1006)
TOPO_EXTRA_SERVERS=$(printf '\t<DnsServer id="1004" name="UpstreamTcp" port="%s" protocol="plain" af="2" ip="127.0.0.1" plain_use_tcp="1" />\n' $TOPO_UPSTREAM_PORT
  printf '\t<DnsServer id="1005" name="UpstreamTls" port="8853" protocol="dot" af="2" ip="127.0.0.1" dot_host_name="" />\n'
  printf '\t<DnsServer id="1006" name="WrongName" port="8853" protocol="dot" af="2" ip="127.0.0.1" dot_host_name="other.example.test" />\n')
topo_conf 30 100
topo_start 4

ask() {  # qid, name [dig options...]
  local qid=$1 name=$2; shift 2
  status=0
  out=$(topo_client dig @$TOPO_SERVER_ADDRESS4 +qid="$qid" +tries=1 +timeout=3 +noall +answer +comments "$@" "$name" A) \
    || status=$?
}
answers() { awk '!/^;/ && NF >= 5 { print $2, $5 }' <<< "$out"; }
expect_answer() {  # what, qid, "ttl rdata"
  [[ $status -eq 0 ]] || { fail "$1: dig failed ($status): $out"; return; }
  grep -q "id: $2\$" <<< "$out" || fail "$1: the answer does not carry the client's id $2: $out"
  [[ $(answers) == "$3" ]] || fail "$1: answer '$(answers)', expected '$3'"
}
log_count() { grep -c -- "$1" "$TOPO_LOG" || true; }
wait_for_log() {  # text, seconds
  for _ in $(seq $(($2 * 10))); do grep -q -- "$1" "$TOPO_LOG" && return 0; sleep 0.1; done
  return 1
}

ask 5001 www.tcp.test
expect_answer "resolved over plain TCP" 5001 "100 192.0.2.21"
ask 5002 www.dot.test
expect_answer "resolved over TLS" 5002 "100 192.0.2.22"
ask 5003 www.dot.test
expect_answer "resolved over TLS again" 5003 "100 192.0.2.22"
[[ $(log_count "Start a long task - Check certificate data") -eq 1 ]] \
  || fail "the certificate was not checked exactly once before the cache took over"
grep -q "www.tcp.test. A IN" "$TOPO_DIR/upstream.log" || fail "the upstream did not see the TCP query"

ask 5004 www.wrongname.test +timeout=2
[[ $status -eq 9 ]] || fail "a server name the leaf lacks got an answer ($status): $out"
wait_for_log "TLS certificate verification failed" 5 || fail "the name mismatch was not logged"
grep -q "www.wrongname.test. A IN" "$TOPO_DIR/upstream.log" && fail "the query went out over an unverified connection"

if [[ $failures -gt 0 ]]; then
  echo "-- engine log:"; cat "$TOPO_LOG"
  exit 1
fi
echo "every case passed"

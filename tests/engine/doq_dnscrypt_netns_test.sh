#!/usr/bin/env bash
# DNS over QUIC and the DNSCrypt bridge on the diverted road in network
# namespaces (root): dig in the client namespace asks 10.53.0.1; a name routed
# over DoQ goes to the DoQ test server in the server namespace, whose leaf
# the harness trusts through its CA: the first query pays for the
# certificate check and gets no answer, the next reaches dig with its own id.
# A name routed over DNS over HTTPS goes to the stand-in of the outside
# library in automatic mode, which answers it.
#
#   doq_dnscrypt_netns_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build=$2
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root to make network namespaces"; exit 77; }
source "$source_dir/scripts/lib/diversion_topology.sh"
double=$build/tests/support/libdnscrypt_double.so
[[ -f $double ]] || topo_fail "build dnscrypt_double in $build first"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

topo_up "$build"
topo_doq_start 853
TOPO_HARNESS_ARGS=(--trust-ca "$TOPO_DOQ_CA" --dnscrypt-library "$double")
TOPO_EXTRA_RULES=$(topo_rule Doq "*.doq.test" 1007; topo_rule Doh "*.doh.test" 1008)
TOPO_EXTRA_SERVERS=$(printf '\t<DnsServer id="1007" name="Quic" port="853" protocol="doq" af="2" ip="%s" />\n' $TOPO_SERVER_ADDRESS4
  printf '\t<DnsServer id="1008" name="Https" port="443" protocol="doh" af="2" ip="192.0.2.44" doh_host_name="doh.test" doh_path="/dns-query" />\n')
topo_conf 30 100
topo_start 4

wait_for_log() {  # text, seconds
  for _ in $(seq $(($2 * 10))); do grep -q -- "$1" "$TOPO_LOG" && return 0; sleep 0.1; done
  return 1
}

topo_ask 6001 www.doq.test +timeout=2
[[ $status -eq 9 ]] || fail "the first DoQ query was answered before the certificate check ($status): $out"
wait_for_log "TLS certificate for $TOPO_SERVER_ADDRESS4 is valid" 10 || fail "the DoQ leaf was not checked"
topo_ask 6002 www.doq.test
topo_expect_answer "resolved over DoQ" 6002 "60 $TOPO_DOQ_ANSWER"

topo_ask 6003 www.doh.test
topo_expect_answer "resolved through the library" 6003 "60 192.0.2.53"

if [[ $failures -gt 0 ]]; then
  echo "-- engine log:"; cat "$TOPO_LOG"
  echo "-- DoQ server log:"; cat "$TOPO_DIR/doq.log"
  exit 1
fi
echo "every case passed"

#!/usr/bin/env bash
# DNSSEC on the whole road in network namespaces (root): named on the
# client's loopback serves test. with a signed secure.test. and a
# bogus.test. whose record was changed after signing (zones signed here);
# a conf-file rule sends *.test to it under local validation, and the
# harness reads root.key (test.'s key) from its current folder. dig gets
# the secure answer with its own id; the bogus one gets nothing and an
# error line.
#
#   dnssec_netns_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build=$2
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root to make network namespaces"; exit 77; }
for tool in named dnssec-keygen dnssec-signzone dnssec-dsfromkey dig; do
  command -v $tool >/dev/null || { echo "FAIL: $tool is needed (bind9, bind9-utils, bind9-dnsutils): run scripts/bootstrap"; exit 1; }
done
source "$source_dir/scripts/lib/diversion_topology.sh"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

topo_up "$build"
zones=$TOPO_DIR/zones
mkdir -p "$zones"

# A zone file with SOA, NS and the given records; signed with a key of its
# own unless "unsigned"; prints the key's base name.
make_zone() {  # origin, extra records (lines)
  local origin=$1 records=$2 key
  printf '$TTL 300\n@ IN SOA ns.%s admin.%s 1 3600 600 86400 300\n@ IN NS ns.%s\nns IN A 127.0.0.1\n%s\n' \
    "$origin" "$origin" "$origin" "$records" > "$zones/$origin"db
  key=$(dnssec-keygen -q -K "$zones" -a ECDSAP256SHA256 -f KSK -n ZONE "$origin")
  echo "\$INCLUDE $zones/$key.key" >> "$zones/$origin"db
  dnssec-signzone -q -z -K "$zones" -d "$zones" -o "$origin" -f "$zones/$origin"db.signed "$zones/$origin"db "$key" >/dev/null
  echo "$key"
}
delegation() {  # child origin, its key
  printf '%s IN NS ns.%s\nns.%s IN A 127.0.0.1\n%s\n' "$1" "$1" "$1" "$(dnssec-dsfromkey -2 "$zones/$2.key")"
}
secure_key=$(make_zone secure.test. "www IN A 192.0.2.61")
bogus_key=$(make_zone bogus.test. "www IN A 192.0.2.62")
sed -i 's/192\.0\.2\.62/192.0.2.63/' "$zones/bogus.test.db.signed"
test_key=$(make_zone test. "$(delegation secure.test. "$secure_key")
$(delegation bogus.test. "$bogus_key")")

cat > "$zones/named.conf" <<CONF
options {
  directory "$zones";
  pid-file none;
  session-keyfile "$zones/session.key";
  listen-on port $TOPO_NAMED_PORT { 127.0.0.1; };
  listen-on-v6 { none; };
  recursion no;
  dnssec-validation no;
  notify no;
};
zone "test." { type primary; file "$zones/test.db.signed"; };
zone "secure.test." { type primary; file "$zones/secure.test.db.signed"; };
zone "bogus.test." { type primary; file "$zones/bogus.test.db.signed"; };
CONF
topo_start_named "$zones/named.conf"

TOPO_EXTRA_RULES='	<Rule name="Validated" enabled="1" dnssec_local_validation="1" dnssec_reject_unsigned="0" block_return_zero_ip="0" hostnames="*.test" action="process_server" action_id="1004" interface_id="" />'
TOPO_EXTRA_SERVERS="	<DnsServer id=\"1004\" name=\"Named\" port=\"$TOPO_NAMED_PORT\" protocol=\"plain\" af=\"2\" ip=\"127.0.0.1\" plain_use_tcp=\"0\" />"
topo_conf 30 100
# The harness reads root.key from its current folder first: test.'s key.
cp "$zones/$test_key.key" "$TOPO_DIR/root.key"
cd "$TOPO_DIR"
topo_start 3

log_count() { grep -c -- "$1" "$TOPO_LOG" || true; }
wait_for_log() {  # text, seconds
  for _ in $(seq $(($2 * 10))); do grep -q -- "$1" "$TOPO_LOG" && return 0; sleep 0.1; done
  return 1
}

status=0
out=$(topo_client dig @$TOPO_SERVER_ADDRESS4 +qid=4701 +tries=1 +timeout=4 +noall +answer +comments www.secure.test A) || status=$?
[[ $status -eq 0 ]] || fail "secure: dig failed ($status): $out"
grep -q "id: 4701\$" <<< "$out" || fail "secure: the answer does not carry the client's id: $out"
grep -q "192.0.2.61" <<< "$out" || fail "secure: no address in the answer: $out"
wait_for_log "www.secure.test - DNSSEC check passed" 3 || fail "secure: no 'DNSSEC check passed' line"

failed_before=$(log_count "DNSSEC check failed")
status=0
out=$(topo_client dig @$TOPO_SERVER_ADDRESS4 +qid=4702 +tries=1 +timeout=3 +noall +answer +comments www.bogus.test A) || status=$?
[[ $status -eq 9 ]] || fail "bogus: dig got an answer or failed otherwise ($status): $out"
wait_for_log "E www.bogus.test - DNSSEC check failed" 3 || fail "bogus: no 'DNSSEC check failed' error line"
[[ $(log_count "DNSSEC check failed") -eq $((failed_before + 1)) ]] || fail "bogus: not exactly one failed check"

if [[ $failures -ne 0 ]]; then
  echo "--- harness log"; cat "$TOPO_LOG"
  echo "--- named"; cat "$TOPO_DIR/named.out" 2>/dev/null || true
  exit 1
fi
echo "PASS"

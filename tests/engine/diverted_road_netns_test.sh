#!/usr/bin/env bash
# One diverted query's whole road in network namespaces (root): dig in the
# client namespace asks 10.53.0.1 or fd53::1; palvexdrv holds the query
# back and hands it to the program, `tarnwick /ServiceMode`, which resolves
# it through unbound on the client's loopback, blocks it, bypasses it to the server
# namespace's stub, or sends it to an upstream that never answers.
# The injected answers are captured on the client's loopback and their
# checksums checked by tshark.
#
#   diverted_road_netns_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build=$2
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root to make network namespaces"; exit 77; }
source "$source_dir/scripts/lib/diversion_topology.sh"
TOPO_PROGRAM=tarnwick

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

topo_up "$build"
topo_conf 30 100
topo_start 3

# Everything on the client's loopback: the engine's upstream traffic and the
# answers the driver injects as if the asked server had sent them.
capture=$TOPO_DIR/loopback.pcapng
ip netns exec "$TOPO_CLIENT" dumpcap -q -i lo -f udp -w "$capture" >/dev/null 2>"$TOPO_DIR/dumpcap.log" &
capture_pid=$!
TOPO_PIDS+=($capture_pid)
for _ in $(seq 100); do grep -q "File:" "$TOPO_DIR/dumpcap.log" 2>/dev/null && break; sleep 0.1; done
grep -q "File:" "$TOPO_DIR/dumpcap.log" || topo_fail "dumpcap did not start: $(cat "$TOPO_DIR/dumpcap.log")"

# dig with a chosen id; its output stays in $out, its status in $status.
ask() {  # server, qid, name, type [dig options...]
  local server=$1 qid=$2 name=$3 type=$4; shift 4
  status=0
  out=$(topo_client dig @"$server" +qid="$qid" +tries=1 +timeout=3 +noall +answer +comments "$@" "$name" "$type") \
    || status=$?
}
# The answer section's "ttl rdata" lines of $out.
answers() { awk '!/^;/ && NF >= 5 { print $2, $5 }' <<< "$out"; }
expect_answer() {  # what, qid, "ttl rdata"
  [[ $status -eq 0 ]] || { fail "$1: dig failed ($status): $out"; return; }
  grep -q "id: $2\$" <<< "$out" || fail "$1: the answer does not carry the client's id $2: $out"
  [[ $(answers) == "$3" ]] || fail "$1: answer '$(answers)', expected '$3'"
}
expect_no_answer() {  # what
  [[ $status -eq 9 ]] || fail "$1: dig got an answer or failed otherwise ($status): $out"
}
# The program's log writer appends every 200 ms: counts wait for it.
log_count() { sleep 0.5; grep -c -- "$1" "$TOPO_LOG" || true; }
wait_for_log() {  # text, seconds
  for _ in $(seq $(($2 * 10))); do grep -q -- "$1" "$TOPO_LOG" && return 0; sleep 0.1; done
  return 1
}

qid=4000
for server in $TOPO_SERVER_ADDRESS4 $TOPO_SERVER_ADDRESS6; do
  qid=$((qid + 1)); ask $server $qid www.example.test A
  expect_answer "resolved A via $server, TTL 300 clamped to 100" $qid "100 192.0.2.10"
  qid=$((qid + 1)); ask $server $qid www.example.test AAAA
  expect_answer "resolved AAAA via $server" $qid "100 2001:db8::10"
  qid=$((qid + 1)); ask $server $qid short.example.test A
  expect_answer "resolved via $server, TTL 5 raised to 30" $qid "30 192.0.2.11"
  qid=$((qid + 1)); ask $server $qid ads.blocked.test A
  expect_answer "blocked with the null address via $server" $qid "5 0.0.0.0"
  qid=$((qid + 1)); ask $server $qid www.bypass.test A
  expect_answer "bypassed to the stub via $server" $qid "60 $TOPO_STUB_ANSWER"
  ask $server 4999 www.dropped.test A +timeout=2
  expect_no_answer "blocked without an answer via $server"
done
[[ $(log_count "www.dropped.test - block : rule=Dropped") -eq 2 ]] || fail "the dropped queries were not logged as blocked"
[[ $(log_count "www.bypass.test - bypass : rule=Bypassed") -eq 2 ]] || fail "the bypassed queries were not logged"

# The engine's own query to a server on port 53 is not diverted again.
ask $TOPO_SERVER_ADDRESS4 4100 www.port53.test A
expect_answer "resolved through the stub on port 53" 4100 "60 $TOPO_STUB_ANSWER"
wait_for_log "www.port53.test - reply" 5 || fail "the answer from port 53 was not logged"
sleep 0.5  # a query diverted again would be logged by now
[[ $(log_count "www.port53.test - request") -eq 1 ]] || fail "the engine's query on port 53 came back to it"

# An upstream that never answers: the client gets nothing, and the engine
# reports the time-out 6 to 8 s after sending.
ask $TOPO_SERVER_ADDRESS4 4200 www.silent.test A +timeout=2
expect_no_answer "sent to the silent upstream"
wait_for_log "www.silent.test - request timeout : server=Silent" 15 || fail "no time-out was reported for the silent upstream"
[[ $(log_count "www.silent.test - reply") -eq 0 ]] || fail "a reply was logged for the silent upstream"

kill -TERM $capture_pid
wait $capture_pid 2>/dev/null || true

# Injected answers: from the asked server's port 53 to the client, with
# checksums that verify.
checks=(-o udp.check_checksum:TRUE -o ip.check_checksum:TRUE)
injected=$(tshark -r "$capture" "${checks[@]}" -Y "udp.srcport == 53 && dns.flags.response == 1" \
  -T fields -E separator='|' -e ip.src -e ipv6.src -e udp.checksum.status -e ip.checksum.status)
# Four answers per server address, and the one from the stub on port 53;
# the bypassed ones come over the veth link.
[[ $(wc -l <<< "$injected") -eq 9 ]] || fail "expected 9 injected answers, captured: $injected"
bad=$(awk -F'|' '$3 != 1 || $4 == "0"' <<< "$injected")
[[ -z $bad ]] || fail "injected answers with bad checksums: $bad"
for source in $(awk -F'|' '{ print $1 $2 }' <<< "$injected" | sort -u); do
  [[ $source == "$TOPO_SERVER_ADDRESS4" || $source == "$TOPO_SERVER_ADDRESS6" ]] || fail "an answer came from $source"
done
# Each id the upstream saw is drawn at random, so one may meet a client's by
# chance; two would not.
client_ids=" $(seq 4001 $qid | tr '\n' ' ') 4100 4200 4999 "
upstream_ids=$(tshark -r "$capture" -Y "udp.dstport == $TOPO_UPSTREAM_PORT && dns.flags.response == 0 && !(dns.qry.name == \"ready.invalid\")" \
  -T fields -e dns.id)
[[ -n $upstream_ids ]] || fail "no query to the upstream was captured"
same=0
for id in $upstream_ids; do [[ $client_ids == *" $((id)) "* ]] && same=$((same + 1)); done
[[ $same -le 1 ]] || fail "the upstream saw the clients' ids: $upstream_ids"

if [[ $failures -gt 0 ]]; then
  echo "-- program log:"; cat "$TOPO_LOG"
  exit 1
fi
echo "every case passed"

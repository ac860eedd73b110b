# The topology of one diverted query, for scripts/demo and
# bench/diverted_path.sh (sourced, bash): a client namespace with palvexdrv,
# the engine harness and an upstream unbound on its loopback, and a server
# namespace at 10.53.0.1 / fd53::1 with a stub that answers bypassed
# queries. The two are joined by a veth pair; neither has a route out.
# Everything made here is removed by topo_down, which topo_up installs as
# the EXIT trap.
#
#   topo_up BUILD_DIR      namespaces, veth, addresses
#   topo_start             stub, upstream, palvexdrv, harness (topo_conf first)
#   topo_palvexdrv         starts palvexdrv again (after a crash); its pid in TOPO_PALVEXDRV_PID
#   topo_client CMD...     runs CMD in the client namespace
#   topo_http_start DIR    (opt-in) a web server on port 80 of the server
#                          namespace, serving DIR
#   topo_rule NAME HOSTNAMES ID   a process_server rule line for TOPO_EXTRA_RULES
#   topo_ask QID NAME [DIG-OPTIONS...]   dig A from the client to the server
#                          namespace's address; $out and $status hold the result
#   topo_expect_answer WHAT QID "TTL RDATA"   checks $out, calling the script's fail
#   topo_doq_start PORT    (opt-in, before topo_start) the DoQ test server on
#                          that port of the server namespace's IPv4 address,
#                          its leaf for that address, its CA in $TOPO_DOQ_CA,
#                          every query answered with A $TOPO_DOQ_ANSWER
#   topo_down
#
# Opt-ins, set before the calls that read them (each empty or unset by default):
#   TOPO_RESOLVER          the harness's system resolver (127.0.0.1, the upstream)
#   TOPO_STUB_RECORDS      an array of further records the stub answers
#   TOPO_EXTRA_RULES, TOPO_EXTRA_SERVERS   conf-file lines topo_conf adds (rules before the Default rule)
#   TOPO_UPSTREAM_TLS_PORT with TOPO_UPSTREAM_TLS_PEM and TOPO_UPSTREAM_TLS_KEY
#                          the upstream also serves DNS over TLS on that port of 127.0.0.1
#   TOPO_UPSTREAM_RECORDS  an array of further zone-file records the upstream serves
#   TOPO_UPSTREAM_LINES    further unbound server lines for the upstream (local zones of other kinds)
#   TOPO_HARNESS_ARGS      an array of further harness options (--trust-ca FILE, --check-servers)
#   topo_start_named CONF  named of the caller's on the client's loopback at $TOPO_NAMED_PORT
#
# TOPO_PROGRAM=tarnwick (set before topo_up) runs the program itself,
# `tarnwick /ServiceMode` with folders of its own under $TOPO_DIR/tarnwick,
# in place of the engine harness; TOPO_LOG is then the program's log file.
# The harness stays the default, for cases that need its test-only options.
#   topo_doq_start PORT    (opt-in) the DoQ test server in the server namespace

TOPO_CLIENT_ADDRESS4=10.53.0.2
TOPO_CLIENT_ADDRESS6=fd53::2
TOPO_SERVER_ADDRESS4=10.53.0.1
TOPO_SERVER_ADDRESS6=fd53::1
TOPO_UPSTREAM_PORT=5301         # unbound on the client namespace's loopback
TOPO_STUB_ANSWER=192.0.2.53     # what the server namespace answers to every name
TOPO_NAMED_PORT=5302            # topo_start_named: named on the client namespace's loopback
TOPO_EXTRA_RULES=${TOPO_EXTRA_RULES:-}
TOPO_EXTRA_SERVERS=${TOPO_EXTRA_SERVERS:-}

topo_fail() { echo "${0##*/}: $*" >&2; exit 1; }

topo_up() {  # build dir
  [[ $(id -u) -eq 0 ]] || topo_fail "run as root: it makes network namespaces"
  TOPO_BUILD=$(cd "$1" && pwd)
  TOPO_PALVEXDRV=$TOPO_BUILD/PalvexDrv/host/palvexdrv
  TOPO_HARNESS=$TOPO_BUILD/tests/engine/engine_harness
  TOPO_TARNWICK=$TOPO_BUILD/Quorvane/ui/tarnwick
  TOPO_PROGRAM=${TOPO_PROGRAM:-harness}
  local program=$TOPO_HARNESS
  [[ $TOPO_PROGRAM == tarnwick ]] && program=$TOPO_TARNWICK
  [[ -x $TOPO_PALVEXDRV && -x $program ]] || topo_fail "build palvexdrv and ${program##*/} in $TOPO_BUILD first"
  TOPO_DIR=$(mktemp -d /tmp/tarnwick-topology-XXXXXX)
  TOPO_CLIENT=tarnwick-c$$
  TOPO_SERVER=tarnwick-s$$
  TOPO_PIDS=()
  trap topo_down EXIT
  trap 'exit 1' TERM INT  # so that the EXIT trap still cleans up
  ip netns add "$TOPO_CLIENT"
  ip netns add "$TOPO_SERVER"
  ip link add tvc$$ netns "$TOPO_CLIENT" type veth peer name tvs$$ netns "$TOPO_SERVER"
  ip -n "$TOPO_CLIENT" link set lo up
  ip -n "$TOPO_SERVER" link set lo up
  ip -n "$TOPO_CLIENT" addr add $TOPO_CLIENT_ADDRESS4/24 dev tvc$$
  ip -n "$TOPO_SERVER" addr add $TOPO_SERVER_ADDRESS4/24 dev tvs$$
  ip -n "$TOPO_CLIENT" addr add $TOPO_CLIENT_ADDRESS6/64 dev tvc$$ nodad
  ip -n "$TOPO_SERVER" addr add $TOPO_SERVER_ADDRESS6/64 dev tvs$$ nodad
  ip -n "$TOPO_CLIENT" link set tvc$$ up
  ip -n "$TOPO_SERVER" link set tvs$$ up
}

topo_down() {
  local pid
  for pid in "${TOPO_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${TOPO_PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  TOPO_PIDS=()
  [[ -n ${TOPO_CLIENT:-} ]] && ip netns delete "$TOPO_CLIENT" 2>/dev/null || true
  [[ -n ${TOPO_SERVER:-} ]] && ip netns delete "$TOPO_SERVER" 2>/dev/null || true
  [[ -n ${TOPO_DIR:-} ]] && rm -rf "$TOPO_DIR"
  TOPO_CLIENT= TOPO_SERVER= TOPO_DIR=
}

# Background jobs call ip netns exec themselves, so that $! is the program
# (ip execs it), not a subshell.
topo_client() { ip netns exec "$TOPO_CLIENT" "$@"; }
topo_server() { ip netns exec "$TOPO_SERVER" "$@"; }

# An unbound configuration: its own server lines (listening), then local
# data (zone-file records).
topo_unbound_conf() {  # file, log, "server lines", records...
  local file=$1 log=$2 lines=$3; shift 3
  {
    echo "server:"
    echo "$lines"
    printf '  %s\n' "do-daemonize: no" "use-syslog: no" "logfile: \"$log\"" "log-queries: yes" \
      "chroot: \"\"" "username: \"\"" "directory: \"$TOPO_DIR\"" "pidfile: \"\"" "num-threads: 1" \
      "module-config: \"iterator\"" "minimal-responses: yes" "access-control: 0.0.0.0/0 allow" \
      "access-control: ::/0 allow" "local-zone: \".\" refuse"
    local record
    for record in "$@"; do
      echo "  local-zone: \"${record%% *}\" static"
      echo "  local-data: \"$record\""
    done
    echo "remote-control:"
    echo "  control-enable: no"
  } > "$file"
}

# Waits (bounded) until a DNS server answers; the namespace runner first.
topo_wait_dns() {  # runner, server, port
  for _ in $(seq 100); do
    "$1" dig @"$2" -p "$3" +tries=1 +timeout=1 +short ready.invalid >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  topo_fail "no DNS server answers on $2 port $3"
}

# The harness's conf-file: the upstream as the Default rule's server, a
# blocked, a dropped and a bypassed domain, a domain resolved through the
# server namespace's stub on port 53 and one sent to an upstream that never
# answers; ttl bounds in seconds.
topo_conf() {  # ttlMin ttlMax
  TOPO_CONF=$TOPO_DIR/Configuration.xml
  cat > "$TOPO_CONF" <<EOF
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<TarnwickProfile file_format="1" product_id="1" product_min_version="127000">
	<Settings blockTcpPort53="0" clearDnsCache="0" ttlMin="$1" ttlMax="$2" captivePortalDetection="0" interceptOthers="0" />
	<Rule name="Blocked" enabled="1" dnssec_local_validation="0" dnssec_reject_unsigned="0" block_return_zero_ip="1" hostnames="*.blocked.test" action="block" action_id="0" interface_id="" />
	<Rule name="Dropped" enabled="1" dnssec_local_validation="0" dnssec_reject_unsigned="0" block_return_zero_ip="0" hostnames="*.dropped.test" action="block" action_id="0" interface_id="" />
	<Rule name="Bypassed" enabled="1" dnssec_local_validation="0" dnssec_reject_unsigned="0" block_return_zero_ip="0" hostnames="*.bypass.test" action="bypass" action_id="0" interface_id="" />
	<Rule name="Port 53" enabled="1" dnssec_local_validation="0" dnssec_reject_unsigned="0" block_return_zero_ip="1" hostnames="*.port53.test" action="process_server" action_id="1002" interface_id="" />
	<Rule name="Silent" enabled="1" dnssec_local_validation="0" dnssec_reject_unsigned="0" block_return_zero_ip="1" hostnames="*.silent.test" action="process_server" action_id="1003" interface_id="" />
${TOPO_EXTRA_RULES:-}
	<Rule name="Default" enabled="1" dnssec_local_validation="0" dnssec_reject_unsigned="0" block_return_zero_ip="1" hostnames="*" action="process_server" action_id="1001" interface_id="" />
	<DnsServer id="1001" name="Upstream" port="$TOPO_UPSTREAM_PORT" protocol="plain" af="2" ip="127.0.0.1" plain_use_tcp="0" />
	<DnsServer id="1002" name="Stub" port="53" protocol="plain" af="2" ip="$TOPO_SERVER_ADDRESS4" plain_use_tcp="0" />
	<DnsServer id="1003" name="Silent" port="$TOPO_UPSTREAM_PORT" protocol="plain" af="23" ip="::1" plain_use_tcp="0" />
${TOPO_EXTRA_SERVERS:-}
</TarnwickProfile>
EOF
}

# palvexdrv in the client namespace, serving $TOPO_SOCKET; a socket file
# left by an earlier one that crashed is not taken for the new one's.
topo_palvexdrv() {
  TOPO_SOCKET=$TOPO_DIR/PalvexDrv
  rm -f "$TOPO_SOCKET"
  ip netns exec "$TOPO_CLIENT" "$TOPO_PALVEXDRV" --socket-folder "$TOPO_DIR" >>"$TOPO_DIR/palvexdrv.log" 2>&1 &
  TOPO_PALVEXDRV_PID=$!
  TOPO_PIDS+=($!)
  for _ in $(seq 100); do [[ -S $TOPO_SOCKET ]] && return 0; sleep 0.1; done
  topo_fail "palvexdrv did not start: $(cat "$TOPO_DIR/palvexdrv.log")"
}

topo_start() {  # log level of the harness (1..4)
  local level=${1:-3}
  # The stub in the server namespace answers every name it is asked.
  topo_unbound_conf "$TOPO_DIR/stub.conf" "$TOPO_DIR/stub.log" \
    "$(printf '  interface: %s@53\n  interface: %s@53' $TOPO_SERVER_ADDRESS4 $TOPO_SERVER_ADDRESS6)" \
    "bypass.test. 60 IN A $TOPO_STUB_ANSWER" "www.bypass.test. 60 IN A $TOPO_STUB_ANSWER" \
    "www.port53.test. 60 IN A $TOPO_STUB_ANSWER" ${TOPO_STUB_RECORDS[@]+"${TOPO_STUB_RECORDS[@]}"}
  ip netns exec "$TOPO_SERVER" unbound -d -c "$TOPO_DIR/stub.conf" >/dev/null 2>&1 &
  TOPO_PIDS+=($!)
  # The upstream on the client's loopback, with local data; it drops every
  # query for silent.test unanswered.
  local tls_lines=
  if [[ -n ${TOPO_UPSTREAM_TLS_PORT:-} ]]; then
    tls_lines=$(printf '\n  interface: 127.0.0.1@%s\n  tls-port: %s\n  tls-service-pem: "%s"\n  tls-service-key: "%s"' \
      "$TOPO_UPSTREAM_TLS_PORT" "$TOPO_UPSTREAM_TLS_PORT" "$TOPO_UPSTREAM_TLS_PEM" "$TOPO_UPSTREAM_TLS_KEY")
  fi
  topo_unbound_conf "$TOPO_DIR/upstream.conf" "$TOPO_DIR/upstream.log" \
    "$(printf '  interface: 127.0.0.1@%s\n  interface: ::1@%s\n  outgoing-interface: 127.0.0.1\n  local-zone: "silent.test." deny' \
      $TOPO_UPSTREAM_PORT $TOPO_UPSTREAM_PORT)$tls_lines${TOPO_UPSTREAM_LINES:+$'\n'$TOPO_UPSTREAM_LINES}" \
    "www.example.test. 300 IN A 192.0.2.10" "www.example.test. 300 IN AAAA 2001:db8::10" \
    "short.example.test. 5 IN A 192.0.2.11" ${TOPO_UPSTREAM_RECORDS[@]+"${TOPO_UPSTREAM_RECORDS[@]}"}
  ip netns exec "$TOPO_CLIENT" unbound -d -c "$TOPO_DIR/upstream.conf" >/dev/null 2>&1 &
  TOPO_PIDS+=($!)
  topo_wait_dns topo_server $TOPO_SERVER_ADDRESS4 53
  topo_wait_dns topo_client 127.0.0.1 $TOPO_UPSTREAM_PORT

  topo_palvexdrv

  # The system-resolver stand-in may only ask the upstream (or the stub).
  echo "nameserver ${TOPO_RESOLVER:-127.0.0.1}" > "$TOPO_DIR/resolv.conf"
  if [[ $TOPO_PROGRAM == tarnwick ]]; then
    topo_start_tarnwick "$level"
    return
  fi
  TOPO_LOG=$TOPO_DIR/harness.log
  ip netns exec "$TOPO_CLIENT" "$TOPO_HARNESS" --conf "$TOPO_CONF" --socket "$TOPO_SOCKET" --resolv-conf "$TOPO_DIR/resolv.conf" \
    --log "$TOPO_LOG" --log-level "$level" ${TOPO_HARNESS_ARGS[@]+"${TOPO_HARNESS_ARGS[@]}"} &
  TOPO_PIDS+=($!)
  for _ in $(seq 100); do grep -q "Harness running." "$TOPO_LOG" 2>/dev/null && return 0; sleep 0.1; done
  topo_fail "the engine harness did not start: $(cat "$TOPO_LOG" 2>/dev/null)"
}

topo_http_start() {  # folder to serve
  ip netns exec "$TOPO_SERVER" python3 -m http.server 80 --bind $TOPO_SERVER_ADDRESS4 --directory "$1" \
    >"$TOPO_DIR/http.log" 2>&1 &
  TOPO_PIDS+=($!)
  for _ in $(seq 100); do
    topo_server bash -c "exec 3<>/dev/tcp/$TOPO_SERVER_ADDRESS4/80" 2>/dev/null && return 0
    sleep 0.1
  done
  topo_fail "the web server did not start: $(cat "$TOPO_DIR/http.log")"
}

# named in the client namespace with the caller's configuration, which must
# listen on 127.0.0.1 port $TOPO_NAMED_PORT; waits (bounded) until it answers.
topo_start_named() {  # named.conf
  ip netns exec "$TOPO_CLIENT" named -f -4 -n 1 -c "$1" >"$TOPO_DIR/named.out" 2>&1 &
  TOPO_PIDS+=($!)
  topo_wait_dns topo_client 127.0.0.1 $TOPO_NAMED_PORT
}

# The program as the service runs it: its state folder holds the profile
# (file log at the level asked), the conf-file and TMPDIR; its runtime
# folder the lock and the instance socket.
topo_start_tarnwick() {  # log level (1..4)
  local base=$TOPO_DIR/tarnwick
  mkdir -p "$base/state" "$base/logs"
  mkdir -m 0700 -p "$base/run"
  printf '[Settings]\nUpdateCheck=0\nLogLevelFile=%s\nLogFilePath=%s\n' "$1" "$base/logs" > "$base/state/Tarnwick.ini"
  cp "$TOPO_CONF" "$base/state/Configuration.xml"
  TOPO_LOG="$base/logs/Tarnwick Log.txt"
  ip netns exec "$TOPO_CLIENT" env STATE_DIRECTORY="$base/state" RUNTIME_DIRECTORY="$base/run" \
    LOGS_DIRECTORY="$base/logs" TMPDIR="$base/state" TARNWICK_CONTROL_SOCKET="$TOPO_SOCKET" \
    TARNWICK_RESOLV_CONF="$TOPO_DIR/resolv.conf" "$TOPO_TARNWICK" /ServiceMode >"$base/stdout" 2>&1 &
  TOPO_PIDS+=($!)
  for _ in $(seq 100); do grep -q "Engine started." "$TOPO_LOG" 2>/dev/null && return 0; sleep 0.1; done
  topo_fail "tarnwick did not start: $(cat "$TOPO_LOG" "$base/stdout" 2>/dev/null)"
}

TOPO_DOQ_ANSWER=192.0.2.85

topo_doq_start() {  # port
  local server=$TOPO_BUILD/tests/ngtcp2/doq_test_server
  [[ -x $server ]] || topo_fail "build doq_test_server in $TOPO_BUILD first"
  TOPO_DOQ_CA=$TOPO_DIR/doq-ca.pem
  ip netns exec "$TOPO_SERVER" "$server" --listen $TOPO_SERVER_ADDRESS4 --port "$1" --write-ca "$TOPO_DOQ_CA" \
    --leaf-address $TOPO_SERVER_ADDRESS4 --answer-a $TOPO_DOQ_ANSWER >"$TOPO_DIR/doq.log" 2>&1 &
  TOPO_PIDS+=($!)
  for _ in $(seq 100); do grep -q "listening" "$TOPO_DIR/doq.log" 2>/dev/null && return 0; sleep 0.1; done
  topo_fail "the DoQ test server did not start: $(cat "$TOPO_DIR/doq.log")"
}

topo_rule() {  # name, hostnames, server id
  printf '\t<Rule name="%s" enabled="1" dnssec_local_validation="0" dnssec_reject_unsigned="0" block_return_zero_ip="1" hostnames="%s" action="process_server" action_id="%s" interface_id="" />\n' "$@"
}

topo_ask() {  # qid, name [dig options...]
  local qid=$1 name=$2; shift 2
  status=0
  out=$(topo_client dig @$TOPO_SERVER_ADDRESS4 +qid="$qid" +tries=1 +timeout=3 +noall +answer +comments "$@" "$name" A) \
    || status=$?
}

topo_expect_answer() {  # what, qid, "ttl rdata"
  local got
  got=$(awk '!/^;/ && NF >= 5 { print $2, $5 }' <<< "$out")
  [[ $status -eq 0 ]] || { fail "$1: dig failed ($status): $out"; return; }
  grep -q "id: $2\$" <<< "$out" || fail "$1: the answer does not carry the client's id $2: $out"
  [[ $got == "$3" ]] || fail "$1: answer '$got', expected '$3'"
}

#!/usr/bin/env bash
# palvexdrv killed (-9) and started again under a running program, as
# systemd's Restart=on-failure does (root; network namespaces): the driver
# client logs the failed read, comes back within seconds with "Driver
# connection restored.", and a blocked name is blocked again.
#
#   driver_restart_netns_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build=$2
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root to make network namespaces"; exit 77; }
source "$source_dir/scripts/lib/diversion_topology.sh"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
blocked() {  # what, qid
  local out status=0
  out=$(topo_client dig @$TOPO_SERVER_ADDRESS4 +qid="$2" +tries=1 +timeout=2 +noall +answer ads.blocked.test A) || status=$?
  [[ $status -eq 0 && $(awk '{ print $5 }' <<< "$out") == "0.0.0.0" ]] || fail "$1: not blocked ($status): $out"
}
wait_for_log() {  # text, seconds
  for _ in $(seq $(($2 * 10))); do grep -q -- "$1" "$TOPO_LOG" && return 0; sleep 0.1; done
  return 1
}

topo_up "$build"
topo_conf 30 100
topo_start 3
blocked "before the restart" 5001

kill -KILL "$TOPO_PALVEXDRV_PID"
wait "$TOPO_PALVEXDRV_PID" 2>/dev/null || true
wait_for_log "GetEvent failed with error" 5 || fail "the lost driver was not logged"
# Two seconds away: the client retries and finds nothing meanwhile.
sleep 2
topo_palvexdrv
wait_for_log "Driver connection restored." 5 || fail "the client did not come back to the new palvexdrv"
blocked "after the restart" 5002
restored=$(grep -c "Driver connection restored." "$TOPO_LOG" || true)
[[ $restored -le 1 ]] || fail "the connection was restored $restored times for one restart"

if [[ $failures -gt 0 ]]; then
  echo "-- engine log:"; cat "$TOPO_LOG"
  echo "-- palvexdrv log:"; cat "$TOPO_DIR/palvexdrv.log"
  exit 1
fi
echo "every case passed"

#!/usr/bin/env bash
# A desktop copy started as a process where no driver runs. Offscreen
# nobody can answer its boxes, so SIGTERM (what a logout or `timeout`
# sends) must end it within a bound, whichever box waits; a stop during
# the first box ends the start there: no default conf-file is written and
# the driver is never tried. On Xvfb (no window manager) the boxes take
# Return and the copy ends by itself.
#
#   desktop_start_process_test.sh BUILD_DIR
set -euo pipefail
tarnwick=$(cd "$1" && pwd)/Quorvane/ui/tarnwick
[[ -x $tarnwick ]] || { echo "build tarnwick first"; exit 1; }

dir=$(mktemp -d /tmp/tarnwick-desktop-XXXXXX)
pid=
xvfb=
cleanup() {
  [[ -z $pid ]] || kill -KILL "$pid" 2>/dev/null || true
  [[ -z $xvfb ]] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Starts a copy named NAME with its own folders and profile; extra
# environment after the profile's tray flag. Sets pid and base.
start_copy() {  # name SysTryIcon env...
  base=$dir/$1
  mkdir -p "$base"/{xdg,user/Brevant,home,lock,logs}
  chmod 0700 "$base/xdg"
  printf '[Settings]\nUpdateCheck=0\nSysTryIcon=%s\nNotShowAbout=1\nLogLevelFile=3\nLogFilePath=%s\n' "$2" "$base/logs" \
    > "$base/user/Brevant/Tarnwick.ini"
  env -i PATH="$PATH" "${@:3}" XDG_RUNTIME_DIR="$base/xdg" XDG_CONFIG_HOME="$base/user" \
    HOME="$base/home" TMPDIR="$base/home" TARNWICK_LOCK_DIR="$base/lock" \
    TARNWICK_CONTROL_SOCKET="$base/no-driver" "$tarnwick" >"$base/stdout" 2>&1 &
  pid=$!
}
# Waits (10 s at most, EVERY_SECOND run each second meanwhile) for the
# copy to end with status 0 and its exit line; its log is then in $log.
reap_copy() {  # name what [every-second command...]
  local status=0 i
  for i in $(seq 100); do
    kill -0 $pid 2>/dev/null || break
    [[ $# -gt 2 && $((i % 10)) -eq 0 ]] && "${@:3}"
    sleep 0.1
  done
  if kill -0 $pid 2>/dev/null; then
    fail "$1: the copy still runs 10 s after $2"
  else
    wait $pid || status=$?
    [[ $status -eq 0 ]] || fail "$1: the copy ended with $status"
  fi
  pid=
  log=$(cat "$base/logs/Tarnwick Log.txt" 2>/dev/null || true)
  grep -qF "Tarnwick exit." <<< "$log" || fail "$1: no exit line: $log"
}
# Offscreen; SIGTERM once the copy waits in its first box.
stop_in_first_box() {  # name SysTryIcon
  start_copy "$1" "$2" QT_QPA_PLATFORM=offscreen
  # The instance socket comes just before the first box; a signal from
  # then on is seen by the box's own loop.
  for _ in $(seq 100); do [[ -S $base/xdg/tarnwick/instance.sock ]] && break; sleep 0.1; done
  [[ -S $base/xdg/tarnwick/instance.sock ]] || fail "$1: the copy never got to its window: $(cat "$base/stdout")"
  sleep 0.5
  kill -TERM $pid
  reap_copy "$1" SIGTERM
}

# No tray offscreen: the tray box comes first and takes the stop.
stop_in_first_box tray-box 1
grep -qF "Tarnwick driver is not running." <<< "$log" && fail "tray-box: the start went on to the driver: $log"
[[ -e $dir/tray-box/user/Tarnwick/Configuration.xml ]] && fail "tray-box: the start went on to write a conf-file"

# Without the tray box the start reaches the driver, and its box takes it.
stop_in_first_box driver-box 0
grep -qF "Tarnwick driver is not running." <<< "$log" || fail "driver-box: no driver line: $log"

# On a display with no window manager: the tray box, the window, then the
# driver box, each answered with Return (the pointer away from them).
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x640x24 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do [[ -s $dir/display ]] && break; sleep 0.1; done
  display=:$(cat "$dir/display")
  DISPLAY=$display xdotool mousemove 1000 620
  start_copy xvfb 1 DISPLAY="$display"
  reap_copy xvfb "Return in each box" env DISPLAY="$display" xdotool key Return
  grep -qF "Tarnwick driver is not running." <<< "$log" || fail "xvfb: no driver line: $log"
  kill $xvfb
  wait $xvfb 2>/dev/null || true
  xvfb=
else
  echo "no Xvfb or xdotool: the case on a display is skipped"
fi

[[ $failures -eq 0 ]] || exit 1
echo "every case passed"

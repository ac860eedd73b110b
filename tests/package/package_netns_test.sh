#!/usr/bin/env bash
# The Debian package built in this run, tried as a machine would meet it:
# installed, installed again, used, upgraded, removed with palvexdrv running
# and with it hung, and purged. Everything happens inside namespaces of its
# own (mount, network, PID) over private copy-on-write views of /etc, /usr
# and /var (the dpkg database, the account files, the unit and enable
# folders, the service's state) and tmpfs over /run, /tmp and /home, so the
# machine itself is unchanged. systemd does not run in there: postinst
# starts nothing and says so, and the test starts palvexdrv as its unit's
# ExecStart line says.
#
#   package_netns_test.sh SOURCE_DIR PACKAGE_DIR SCREENSHOT_DIR
set -euo pipefail
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root to make namespaces"; exit 77; }

if [[ $1 != --inside ]]; then
  source_dir=$1
  deb=$(ls "$2"/tarnwick_*.deb 2>/dev/null | head -n 1)
  [[ -n $deb ]] || { echo "no package in $2: run scripts/package first"; exit 1; }
  machine() { dpkg-query -W -f='${Status}\n' tarnwick 2>&1 || true; getent group tarnwick || true; ls -d /usr/lib/tarnwick /usr/sbin/palvexdrv /lib/systemd/system/palvexdrv.service 2>&1 || true; }
  before=$(machine)
  status=0
  unshare --mount --net --pid --fork --mount-proc --propagation private "$0" --inside "$source_dir" "$deb" "$3" \
    || status=$?
  after=$(machine)
  if [[ $before != "$after" ]]; then
    echo "FAIL: the machine changed: before"$'\n'"$before"$'\n'"after"$'\n'"$after"
    exit 1
  fi
  exit $status
fi
source_dir=$2 deb=$3 screens=$4

# The private views. Their upper layers live on the new /run, which goes
# with the namespace.
mount -t tmpfs tmpfs /run
mkdir -m 1777 /run/lock  # as a booted machine has it: the desktop program's lock
work=/run/package-test
mkdir -p $work
for dir in etc usr var; do
  mkdir -p $work/$dir/upper $work/$dir/work
  mount -t overlay overlay -o lowerdir=/$dir,upperdir=$work/$dir/upper,workdir=$work/$dir/work /$dir
done
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /home

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
finish() {
  local status=$? pid
  for pid in $(jobs -p); do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [[ $status -ne 0 || $failures -gt 0 ]]; then
    echo "failed (status $status, $failures failures)"
    for log in $work/*.log $work/tarnwick/logs/*; do [[ -f $log ]] && { echo "-- $log:"; cat "$log"; }; done
    exit 1
  fi
  echo "every case passed"
}
trap finish EXIT

version=$(dpkg-deb -f "$deb" Version)
unit_dir=/lib/systemd/system
installed_files=(
  /usr/sbin/palvexdrv /usr/lib/tarnwick/tarnwick /usr/lib/tarnwick/tarnwick.png /usr/bin/tarnwick
  $unit_dir/palvexdrv.service $unit_dir/tarnwick.service /usr/share/applications/tarnwick.desktop
  /usr/share/icons/hicolor/64x64/apps/tarnwick.png /usr/share/doc/tarnwick/README.md
  /usr/share/doc/tarnwick/copyright /usr/share/doc/tarnwick/changelog.gz
)
enable_link=/etc/systemd/system/multi-user.target.wants/palvexdrv.service

install_package() {  # deb, log name
  if ! dpkg -i "$1" >$work/$2.log 2>&1; then
    fail "dpkg -i $(basename "$1") failed: $(cat $work/$2.log)"
    exit 1
  fi
}
# What an install leaves: the files, the group, the enable state.
snapshot() {
  dpkg-query -W -f='${Status} ${Version}\n' tarnwick
  dpkg -L tarnwick | sort | while read -r f; do [[ -f $f ]] && md5sum "$f"; done
  getent group tarnwick
  readlink $enable_link || true
  ls -la /var/lib/systemd/deb-systemd-helper-enabled 2>/dev/null | awk '{ print $1, $NF }' || true
}
# Waits (bounded) for a process the test started to end, then reaps it.
alive() { local state; state=$(awk '{ print $3 }' /proc/$1/stat 2>/dev/null); [[ -n $state && $state != Z ]]; }
reap() {  # pid, what
  for _ in $(seq 150); do alive "$1" || break; sleep 0.1; done
  if alive "$1"; then
    fail "$2 still runs"
    kill -KILL "$1"
  fi
  wait "$1" 2>/dev/null || true
}
chain_present() { iptables -w -S PALVEXDRV >/dev/null 2>&1 || ip6tables -w -S PALVEXDRV >/dev/null 2>&1; }
palvexdrv_running() { [[ -n $(pgrep -x palvexdrv) ]]; }
start_palvexdrv() {
  local command
  command=$(sed -n 's/^ExecStart=//p' $unit_dir/palvexdrv.service)
  $command >>$work/palvexdrv.log 2>&1 &
  palvexdrv_pid=$!
  for _ in $(seq 100); do [[ -S /run/PalvexDrv ]] && return 0; sleep 0.1; done
  fail "palvexdrv ($command) did not start"
  exit 1
}

# == install
install_package "$deb" install
grep -q "palvexdrv.service was not started" $work/install.log \
  || fail "postinst did not say that the service was not started: $(cat $work/install.log)"
getent group tarnwick >/dev/null || fail "no group tarnwick after install"
listed=$(dpkg -L tarnwick)
for f in "${installed_files[@]}"; do
  [[ -e $f ]] || fail "$f is not installed"
  grep -qx "$f" <<< "$listed" || fail "$f is not in the package's file list"
done
[[ $(readlink /usr/bin/tarnwick) == ../lib/tarnwick/tarnwick ]] || fail "/usr/bin/tarnwick links to $(readlink /usr/bin/tarnwick)"
[[ $(readlink $enable_link) == $unit_dir/palvexdrv.service ]] || fail "palvexdrv.service is not enabled"
[[ $(tarnwick --version) == "Tarnwick $version" ]] || fail "tarnwick --version printed '$(tarnwick --version)', package $version"
grep -qx "ExecStart=/usr/sbin/palvexdrv" $unit_dir/palvexdrv.service || fail "palvexdrv.service does not run /usr/sbin/palvexdrv"
grep -qx "ExecStart=/usr/bin/tarnwick /ServiceMode" $unit_dir/tarnwick.service || fail "tarnwick.service does not run /usr/bin/tarnwick"
grep -qx "Exec=/usr/bin/tarnwick" /usr/share/applications/tarnwick.desktop || fail "the desktop entry does not run /usr/bin/tarnwick"

# == the same version again changes nothing
first=$(snapshot)
install_package "$deb" reinstall
[[ $(snapshot) == "$first" ]] || fail "a second install changed: $(diff <(echo "$first") <(snapshot))"

# == in use: palvexdrv as its unit runs it, the program as a user of the
# group, a query from this namespace diverted to it.
source "$source_dir/scripts/lib/diversion_topology.sh"
TOPO_DIR=$work
ip link set lo up
ip link add tpk0 type veth peer name tpk1
ip addr add $TOPO_CLIENT_ADDRESS4/24 dev tpk0
ip link set tpk0 up
ip link set tpk1 up
topo_unbound_conf $work/upstream.conf $work/upstream.log "  interface: 127.0.0.1@$TOPO_UPSTREAM_PORT" \
  "www.example.test. 300 IN A 192.0.2.10"
unbound -d -c $work/upstream.conf >/dev/null 2>&1 &
topo_wait_dns env 127.0.0.1 $TOPO_UPSTREAM_PORT

start_palvexdrv
[[ $(stat -c '%G %a' /run/PalvexDrv) == "tarnwick 660" ]] || fail "the control socket is $(stat -c '%G %a' /run/PalvexDrv)"
useradd --create-home --shell /bin/bash tester
usermod -aG tarnwick tester
topo_conf 30 100
base=$work/tarnwick
mkdir -p $base/state $base/logs $base/run
printf '[Settings]\nUpdateCheck=0\nLogLevelFile=3\nLogFilePath=%s\n' "$base/logs" > $base/state/Tarnwick.ini
cp "$TOPO_CONF" $base/state/Configuration.xml
echo "nameserver 127.0.0.1" > $base/resolv.conf
chown -R tester $base
chmod 0700 $base/run
program=$(sed -n 's/^ExecStart=//p' $unit_dir/tarnwick.service)
runuser -u tester -- env STATE_DIRECTORY=$base/state RUNTIME_DIRECTORY=$base/run LOGS_DIRECTORY=$base/logs \
  TMPDIR=$base/state TARNWICK_RESOLV_CONF=$base/resolv.conf $program >$work/tarnwick.log 2>&1 &
program_pid=$!
log="$base/logs/Tarnwick Log.txt"
for _ in $(seq 100); do grep -q "Engine started." "$log" 2>/dev/null && break; sleep 0.1; done
grep -q "Engine started." "$log" 2>/dev/null || fail "the program did not start its engine"
# 10.53.0.1 is nobody's: only the diverted road answers.
answer=$(dig @$TOPO_SERVER_ADDRESS4 +tries=1 +timeout=3 +short www.example.test A || true)
[[ $answer == 192.0.2.10 ]] || fail "www.example.test was not resolved through the program: '$answer'"
answer=$(dig @$TOPO_SERVER_ADDRESS4 +tries=1 +timeout=3 +short ads.blocked.test A || true)
[[ $answer == 0.0.0.0 ]] || fail "ads.blocked.test was not blocked: '$answer'"

# == tried as a new user would: in the group, the desktop entry's Exec line
# on a display of its own; one query blocked, with screenshots of the log
# view. The service-mode program goes first: the driver takes one client.
kill -TERM $program_pid 2>/dev/null || true
reap $program_pid "the service-mode program after SIGTERM"
Xvfb :1 -nolisten tcp -screen 0 1024x640x24 >$work/xvfb.log 2>&1 &
for _ in $(seq 100); do [[ -S /tmp/.X11-unix/X1 ]] && break; sleep 0.1; done
uid=$(id -u tester)
mkdir -m 0700 -p /run/user/$uid /home/tester/.config/Brevant /home/tester/.config/Tarnwick
# The user's rules: the same conf-file, imported as a user would.
cp "$TOPO_CONF" /home/tester/.config/Tarnwick/Configuration.xml
printf '[Settings]\nUpdateCheck=0\nNotShowAbout=1\nLogLevelFile=3\nLogFilePath=/home/tester/logs\n' > /home/tester/.config/Brevant/Tarnwick.ini
chown -R tester /run/user/$uid /home/tester
desktop=$(sed -n 's/^Exec=//p' /usr/share/applications/tarnwick.desktop)
runuser -u tester -- env -u QT_QPA_PLATFORM HOME=/home/tester DISPLAY=:1 XDG_RUNTIME_DIR=/run/user/$uid \
  TARNWICK_RESOLV_CONF=$base/resolv.conf $desktop >$work/desktop.log 2>&1 &
desktop_pid=$!
desktop_log="/home/tester/logs/Tarnwick Log.txt"
screenshot() { xwd -root -display :1 | xwdtopnm 2>/dev/null | pnmtopng > "$screens/$1.png" || fail "no screenshot $1"; }
mkdir -p "$screens"
sleep 2
screenshot package_desktop_start
# Without a tray the program says so in a box first; the user presses its
# OK (Return in the log view does nothing).
for i in $(seq 100); do
  grep -q "Engine started." "$desktop_log" 2>/dev/null && break
  [[ $((i % 10)) -eq 1 ]] && DISPLAY=:1 xdotool key Return
  sleep 0.1
done
grep -q "Engine started." "$desktop_log" 2>/dev/null || fail "the desktop program did not start its engine"
answer=$(dig @$TOPO_SERVER_ADDRESS4 +tries=1 +timeout=3 +short ads.blocked.test A || true)
[[ $answer == 0.0.0.0 ]] || fail "the desktop program did not block ads.blocked.test: '$answer'"
for _ in $(seq 20); do grep -q "ads.blocked.test" "$desktop_log" && break; sleep 0.1; done
sleep 0.5
screenshot package_desktop_blocked
kill -TERM $desktop_pid 2>/dev/null || true
reap $desktop_pid "the desktop program after SIGTERM"

# == an upgrade leaves palvexdrv running (postinst restarts it once where
# systemd runs) and keeps the group and the enable state.
upgrade=$work/upgrade
dpkg-deb -R "$deb" $upgrade
sed -i "s/^Version: .*/Version: $version.1/" $upgrade/DEBIAN/control
dpkg-deb -b $upgrade $work/tarnwick_upgrade.deb >/dev/null
gid=$(getent group tarnwick | cut -d: -f3)
install_package $work/tarnwick_upgrade.deb upgrade
[[ $(dpkg-query -W -f='${Version}' tarnwick) == "$version.1" ]] || fail "the upgrade was not installed"
kill -0 $palvexdrv_pid 2>/dev/null || fail "the upgrade stopped palvexdrv"
[[ $(getent group tarnwick | cut -d: -f3) == "$gid" ]] || fail "the upgrade changed the group"
[[ -L $enable_link ]] || fail "the upgrade lost the enable link"

# == remove with palvexdrv running
dpkg -r tarnwick >$work/remove.log 2>&1 || fail "dpkg -r failed: $(cat $work/remove.log)"
reap $palvexdrv_pid "palvexdrv after dpkg -r"
palvexdrv_running && fail "palvexdrv still runs after dpkg -r"
chain_present && fail "a PALVEXDRV chain is left after dpkg -r"
[[ -e /run/PalvexDrv ]] && fail "the control socket is left after dpkg -r"
[[ -e /usr/sbin/palvexdrv || -e /usr/lib/tarnwick ]] && fail "files are left after dpkg -r"
getent group tarnwick >/dev/null || fail "dpkg -r removed the group"
answer=$(dig @127.0.0.1 -p $TOPO_UPSTREAM_PORT +tries=1 +timeout=3 +short www.example.test A || true)
[[ $answer == 192.0.2.10 ]] || fail "DNS does not flow after dpkg -r: '$answer'"

# == remove with palvexdrv hung: prerm kills it and removes its chain
install_package "$deb" install-hung
start_palvexdrv
chain_present || fail "palvexdrv made no chain"
kill -STOP $palvexdrv_pid
dpkg -r tarnwick >$work/remove-hung.log 2>&1 || fail "dpkg -r of a hung palvexdrv failed: $(cat $work/remove-hung.log)"
reap $palvexdrv_pid "a hung palvexdrv after dpkg -r"
palvexdrv_running && fail "a hung palvexdrv still runs after dpkg -r"
chain_present && fail "a hung palvexdrv's chain is left after dpkg -r"
[[ -e /run/PalvexDrv ]] && fail "a hung palvexdrv's socket is left after dpkg -r"

# == purge: the state folders as DynamicUser leaves them, the group only
# once nobody is in it, and never a user's own profile.
make_state() {
  mkdir -p /var/lib/private/tarnwick /var/log/private/Tarnwick
  touch /var/lib/private/tarnwick/Tarnwick.ini "/var/log/private/Tarnwick/Tarnwick Log.txt"
  ln -sfn private/tarnwick /var/lib/tarnwick
  ln -sfn private/Tarnwick /var/log/Tarnwick
}
profile=/home/tester/.config/Brevant/Tarnwick.ini
mkdir -p "$(dirname $profile)"
echo "[Settings]" > $profile
install_package "$deb" install-purge
make_state
dpkg -P tarnwick >$work/purge.log 2>&1 || fail "dpkg -P failed: $(cat $work/purge.log)"
getent group tarnwick >/dev/null || fail "dpkg -P removed the group while tester is in it"
grep -q "the group tarnwick is kept" $work/purge.log || fail "dpkg -P did not say why the group is kept: $(cat $work/purge.log)"
for path in /var/lib/private/tarnwick /var/log/private/Tarnwick /var/lib/tarnwick /var/log/Tarnwick $enable_link; do
  [[ -e $path || -L $path ]] && fail "$path is left after dpkg -P"
done
[[ -f $profile ]] || fail "dpkg -P removed the user's profile"
gpasswd -d tester tarnwick >/dev/null
install_package "$deb" install-purge-again
dpkg -P tarnwick >$work/purge-again.log 2>&1 || fail "the second dpkg -P failed: $(cat $work/purge-again.log)"
getent group tarnwick >/dev/null && fail "dpkg -P left the group that nobody is in"
dpkg-query -W -f='${Status}' tarnwick 2>/dev/null | grep -q "not-installed" \
  || [[ -z $(dpkg-query -W -f='${Status}' tarnwick 2>/dev/null) ]] || fail "dpkg still knows tarnwick after dpkg -P"
exit 0

#!/usr/bin/env bash
# A DESTDIR install of the build tree: both programs, the link, the units
# and the desktop entry, each ExecStart and Exec naming a file the install
# holds.
#
#   install_layout_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
dest=$(mktemp -d /tmp/tarnwick-install-XXXXXX)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest cmake --install "$build" >/dev/null
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for file in lib/tarnwick/tarnwick sbin/palvexdrv; do
  [[ -x $dest$prefix/$file && ! -L $dest$prefix/$file ]] || fail "$prefix/$file is not an executable file"
done
[[ -f $dest$prefix/lib/tarnwick/tarnwick.png ]] || fail "no image in the program's folder"
for image in 143.png 144.png 147.png 160.png; do
  [[ -f $dest$prefix/lib/tarnwick/$image ]] || fail "no $image in the program's folder"
done
link=$dest$prefix/bin/tarnwick
[[ -L $link && $(readlink -f "$link") == "$(readlink -f "$dest$prefix/lib/tarnwick/tarnwick")" ]] \
  || fail "$prefix/bin/tarnwick is not a link to the program"
# The program finds its folder through the link, as it will when installed.
[[ $(readlink "$link") != /* ]] || fail "the link is absolute: $(readlink "$link")"

check_command() {  # file key
  local file=$1 key=$2 line command
  line=$(grep -m1 "^$key=" "$file") || { fail "no $key in $file"; return; }
  command=${line#*=}
  command=${command%% *}
  [[ $command == "$prefix"/* ]] || fail "$key of ${file##*/} names $command, not a file under $prefix"
  [[ -x $dest$command ]] || fail "$key of ${file##*/} names $command, which the install does not hold"
}
units=$dest$prefix/lib/systemd/system
check_command "$units/palvexdrv.service" ExecStart
check_command "$units/tarnwick.service" ExecStart
grep -q "^ExecStart=.* /ServiceMode$" "$units/tarnwick.service" || fail "the service does not start in service mode"
check_command "$dest$prefix/share/applications/tarnwick.desktop" Exec

if [[ $failures -gt 0 ]]; then
  (cd "$dest" && find . | sort)
  exit 1
fi
echo "every case passed"

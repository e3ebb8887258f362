#!/usr/bin/env bash
# Installs the PC package (dist/korvane_<version>_amd64.deb, built by scripts/package.sh) on this
# machine with dpkg -i, checks what it installed, runs the installed program against a simulated
# root, then removes the package again. Needs root; prints "package: N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^const char\* kVersion = "\(.*\)";$/\1/p' core/start/korvane_main.cpp)
deb="dist/korvane_${version}_amd64.deb"
sim=build/sim/unit/korvane-sim
[ "$(id -u)" = 0 ] || { echo "package-test: needs root (dpkg -i)" >&2; exit 1; }
[ -f "$deb" ] || { echo "package-test: $deb missing: run scripts/package.sh first" >&2; exit 1; }
cmake --build build -j2 --target korvane-sim >/dev/null
passed=0 failed=0
check() {  # check NAME COMMAND...: one case
  if "$@"; then passed=$((passed + 1)); echo "package-test: ok   $1"
  else failed=$((failed + 1)); echo "package-test: FAIL $1"; fi
}
work=$(mktemp -d)
cleanup() { dpkg --purge korvane >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT

installs() { dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; return 1; }; }
check installs
files_in_place() {
  [ -x /usr/bin/korvane ] && [ -f /lib/systemd/system/korvane.service ] &&
    [ -f /usr/lib/tmpfiles.d/korvane.conf ] && [ -f /usr/share/korvane/screens/start.png ] &&
    ! dpkg -L korvane | grep -q '^/opt'
}
check files_in_place
# On a PC the service is installed, not enabled.
not_enabled() {
  [ ! -e /etc/systemd/system/multi-user.target.wants/korvane.service ] &&
    ! systemctl is-enabled --quiet korvane.service 2>/dev/null
}
check not_enabled
unit_verifies() { systemd-analyze verify /lib/systemd/system/korvane.service; }
check unit_verifies
# The unit's /opt paths come from tmpfiles at install time, linking the installed screens and fonts.
opt_paths_made() {
  [ -d /opt/set ] && [ -L /opt/Korvane/start.png ] && cmp -s /opt/Korvane/start.png /usr/share/korvane/screens/start.png &&
    [ -e /opt/fonts/PTS55F_W.ttf ]
}
check opt_paths_made
# The installed program against the simulated amplifier: it starts, talks to the amplifier, draws,
# and ends in order (exit 0) on the stop signal.
runs_against_simulated_root() {
  local root="$work/root"
  KORVANE_PROGRAM=/usr/bin/korvane KORVANE_STARTUP_SCALE=0.05 timeout 120 "$sim" run "$root" --fresh \
    --exit-after 6 --shot-every 0 >"$work/run.log" 2>&1 || { cat "$work/run.log"; return 1; }
  grep -q "KORVANE version $version" "$root/var/log/korvane.log" &&
    grep -q "Communicator operations end" "$root/var/log/korvane.log" &&
    [ -n "$(tr -d '\0' < "$root/dev/fb0" | head -c 1)" ] || { tail -20 "$root/var/log/korvane.log"; return 1; }
}
check runs_against_simulated_root
# Without a screen it ends with status 1 (the service does not restart it) and says why.
missing_screen_is_status_1() {
  local root="$work/noscreen" rc=0
  "$sim" mkroot "$root" >/dev/null 2>&1
  rm -f "$root/dev/fb0"
  (cd /opt/Korvane && timeout 60 /usr/bin/korvane --root "$root" 2>/dev/null) || rc=$?
  [ "$rc" = 1 ] && grep -q "no screen" "$root/var/log/korvane.log"
}
check missing_screen_is_status_1
# The maintainer scripts of both packages, run the way dpkg runs them for a throw-away root
# (DPKG_ROOT): the board's package enables the service at boot, the PC's does not; both make the
# /opt paths there.
enables_only_on_the_board() {
  local a r want
  for a in armhf amd64; do
    r="$work/dpkg-root-$a"
    [ -f "dist/korvane_${version}_$a.deb" ] || { echo "missing dist/korvane_${version}_$a.deb"; return 1; }
    dpkg-deb -x "dist/korvane_${version}_$a.deb" "$r" && dpkg-deb -e "dist/korvane_${version}_$a.deb" "$r.control"
    DPKG_ROOT="$r" DPKG_MAINTSCRIPT_PACKAGE=korvane DPKG_MAINTSCRIPT_NAME=postinst sh "$r.control/postinst" configure ||
      return 1
    [ -L "$r/opt/Korvane/start.png" ] || { echo "$a: no /opt/Korvane"; return 1; }
    want=absent
    [ "$a" = armhf ] && want=present
    if [ -L "$r/etc/systemd/system/multi-user.target.wants/korvane.service" ]; then got=present; else got=absent; fi
    [ "$got" = "$want" ] || { echo "$a: service enablement $got, expected $want"; return 1; }
  done
}
check enables_only_on_the_board
removes() { dpkg --purge korvane >/dev/null && [ ! -e /usr/bin/korvane ]; }
check removes
echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

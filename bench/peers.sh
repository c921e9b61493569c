#!/usr/bin/env bash
# Pomrel beside its peers, under one virtual display with one tray host: the
# time from start to the status icon being shown, resident memory after start,
# and idle wakeups (voluntary context switches of all threads) over a quiet
# period, for Pomrel, for a bare Qt tray icon program and for udiskie (a tray
# program for removable media, run on a private system bus with its own
# udisks2 daemon). Prints the figures, their ratios and a verdict per target;
# the figures are reported, not asserted, so the exit status is 0 whenever the
# measuring itself worked.
#
#   bench/peers.sh [--runs N] [--idle SECONDS]
#
# N start-ups per program (default 11; medians), one idle period of SECONDS per
# program (default 60). POMREL_BUILD names the build folder (default build/dev).
set -euo pipefail

runs=11
idle=60
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --idle) idle="$2"; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "peers.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ "$runs" =~ ^[1-9][0-9]*$ && "$idle" =~ ^[1-9][0-9]*$ ]] || {
  echo "peers.sh: --runs and --idle take positive whole numbers" >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../scripts/deps.sh
source "$here/../scripts/deps.sh"
# gir1.2-gtk-3.0 is only recommended by udiskie, but its tray icon needs it.
pomrel_install_deps udiskie udisks2 dbus-daemon dbus-bin gir1.2-gtk-3.0
# shellcheck source=desktop.sh
source "$here/desktop.sh"

# The programs measured, built here when the build folder lacks them.
stale=""
if ! out=$( { [ -f "$build/CMakeCache.txt" ] || (cd "$pomrel_root" && cmake --preset dev -B "$build"); } &&
             cmake --build "$build" -j2 --target Pomrel sxs-card bare_tray tray_probe 2>&1); then
  echo "$out" | tail -20 >&2
  for program in Pomrel.app/Contents/MacOS/Pomrel simulator/sxs-card bench/bare_tray bench/tray_probe; do
    [ -x "$build/$program" ] || { echo "peers.sh: the build failed and $program is missing" >&2; exit 1; }
  done
  stale=" (NOT REBUILT: the build failed, the programs already built are measured)"
  echo "peers.sh: the build failed; measuring the programs already built in $build" >&2
fi

# One environment for all three programs: no session bus (so every toolkit
# takes the tray host's XEMBED protocol, the one trayer speaks, and nothing of a
# surrounding desktop leaks in) and a private runtime folder.
unset DBUS_SESSION_BUS_ADDRESS
work=$(mktemp -d)
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

bus_pid=""
udisksd_pid=""
stop_peers() {
  [ -z "$udisksd_pid" ] || kill "$udisksd_pid" 2>/dev/null || true
  [ -z "$bus_pid" ] || kill "$bus_pid" 2>/dev/null || true
  [ -z "$udisksd_pid" ] || wait "$udisksd_pid" 2>/dev/null || true
  [ -z "$bus_pid" ] || wait "$bus_pid" 2>/dev/null || true
  [ -z "${POMREL_MACHINE:-}" ] || rm -rf "$POMREL_MACHINE"
  rm -rf "$work"
}

# A private system bus: the system bus's own configuration and policies, but
# listening in the work folder, in the foreground, as the current user, with
# no service activation (udisksd is started below).
start_system_bus() {
  sed -e '/<user>/d' -e '/<fork\/>/d' -e '/<pidfile>/d' -e '/<syslog\/>/d' \
      -e '/<servicehelper>/d' -e '/<standard_system_servicedirs\/>/d' \
      -e '/contexts\/dbus_contexts/d' \
      -e "s|<listen>.*</listen>|<listen>unix:path=$work/system_bus_socket</listen>|" \
      -e 's|<includedir>system.d</includedir>|<includedir>/usr/share/dbus-1/system.d</includedir>|' \
      /usr/share/dbus-1/system.conf >"$work/system.conf"
  dbus-daemon --config-file="$work/system.conf" --nofork --print-address=3 \
    3>"$work/system_bus_address" 2>"$work/dbus.log" &
  bus_pid=$!
  for _ in $(seq 100); do [ -s "$work/system_bus_address" ] && break; sleep 0.05; done
  [ -s "$work/system_bus_address" ] || return 1
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus_socket"
}

start_udisks() {
  /usr/libexec/udisks2/udisksd >"$work/udisksd.log" 2>&1 &
  udisksd_pid=$!
  for _ in $(seq 200); do
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.UDisks2 2>/dev/null |
      grep -q 'boolean true' && return 0
    kill -0 "$udisksd_pid" 2>/dev/null || break
    sleep 0.05
  done
  return 1
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
start_desktop
trap 'stop_peers; stop_desktop' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
fresh_machine

peers=(Pomrel BareTray udiskie)
declare -A command=(
  [Pomrel]="$build/Pomrel.app/Contents/MacOS/Pomrel"
  [BareTray]="$build/bench/bare_tray"
  # Its icon always shown, no device needed; nothing mounted, no notification
  # daemon needed, its configuration files ignored, the XEMBED status icon.
  [udiskie]="/usr/bin/udiskie --no-config --tray --no-automount --no-notify --no-appindicator"
)
declare -A title=([Pomrel]="Pomrel" [BareTray]="bare Qt" [udiskie]="udiskie")

if ! start_system_bus || ! start_udisks; then
  echo "peers.sh: could not start a private system bus with udisks2 (see below); udiskie is left out" >&2
  cat "$work/dbus.log" "$work/udisksd.log" >&2 2>/dev/null || true
  peers=(Pomrel BareTray)
fi

# tray_probe prints "start_ms=... rss_kb=... idle_wakeups=..."; field NAME of it.
field() { sed -E "s/.*$1=([0-9.-]+).*/\\1/" <<<"$2"; }
probe() {  # NAME SETTLE_MS IDLE_S
  local name=$1
  # shellcheck disable=SC2086  # the command line is split on purpose
  "$build/bench/tray_probe" --class "$name" --settle "$2" --idle "$3" -- ${command[$name]} \
    2>>"$work/$name.log"
}

declare -A starts rss wakeups
# One unrecorded start each to warm the file cache, then the recorded rounds,
# interleaved so that a busy moment of the machine falls on all programs alike.
for name in "${peers[@]}"; do probe "$name" 200 0 >/dev/null || true; done
for round in $(seq "$runs"); do
  for name in "${peers[@]}"; do
    if ! line=$(probe "$name" 1000 0); then
      echo "peers.sh: $name: no icon shown (round $round); its log:" >&2
      cat "$work/$name.log" >&2
      exit 1
    fi
    starts[$name]+="$(field start_ms "$line") "
    rss[$name]+="$(field rss_kb "$line") "
  done
done
for name in "${peers[@]}"; do
  line=$(probe "$name" 2000 "$idle")
  wakeups[$name]=$(field idle_wakeups "$line")
done

med() { tr ' ' '\n' <<<"$1" | grep . | median; }
lo() { tr ' ' '\n' <<<"$1" | grep . | sort -n | head -1; }
hi() { tr ' ' '\n' <<<"$1" | grep . | sort -n | tail -1; }
declare -A start_med rss_mb
for name in "${peers[@]}"; do
  start_med[$name]=$(med "${starts[$name]}")
  rss_mb[$name]=$(awk -v k="$(med "${rss[$name]}")" 'BEGIN {printf "%.1f", k / 1024}')
done

# ratio A B: A/B to two places; "-" when B is 0 or missing.
ratio() { awk -v a="$1" -v b="${2:-0}" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}'; }
row() {  # LABEL VALUES-BY-NAME(assoc array name)
  local -n values=$2
  printf '%-24s %10s %10s %10s %12s %15s\n' "$1" "${values[Pomrel]}" "${values[BareTray]}" \
    "${values[udiskie]:-n/a}" "$(ratio "${values[Pomrel]}" "${values[BareTray]}")" \
    "$(ratio "${values[Pomrel]}" "${values[udiskie]:-}")"
}

qt=$(qtpaths6 --qt-version 2>/dev/null || pkg-config --modversion Qt6Core 2>/dev/null || echo "?")
echo "Pomrel beside its peers: Xvfb with trayer, $runs start-ups each (medians), idle over $idle s"
echo "load average (1, 5, 15 min) of the machine: $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after"
echo "build: $build ($(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt"))$stale, Qt $qt," \
  "udiskie $(dpkg-query -W -f='${Version}' udiskie 2>/dev/null)"
echo
printf '%-24s %10s %10s %10s %12s %15s\n' "" Pomrel "bare Qt" udiskie "Pomrel/bare" "Pomrel/udiskie"
row "start to icon (ms)" start_med
row "resident memory (MiB)" rss_mb
row "idle wakeups ($idle s)" wakeups
echo
for name in "${peers[@]}"; do
  printf '%-8s start %s..%s ms, resident %s..%s kB over %d runs\n' "${title[$name]}" \
    "$(lo "${starts[$name]}")" "$(hi "${starts[$name]}")" \
    "$(lo "${rss[$name]}")" "$(hi "${rss[$name]}")" "$runs"
done
echo

# verdict LABEL VALUE LIMIT: PASS when VALUE <= LIMIT.
verdict() {
  local ok
  ok=$(awk -v v="$2" -v l="$3" 'BEGIN {print (v <= l) ? "PASS" : "FAIL"}')
  printf '%s  %-50s %s\n' "$ok" "$1" "$4"
}
b=BareTray
for what in start rss wake; do
  case $what in
    start) v=${start_med[Pomrel]} r=${start_med[$b]} f=1.15 label="start within 1.15 x bare Qt" unit=ms ;;
    rss) v=${rss_mb[Pomrel]} r=${rss_mb[$b]} f=1.1 label="memory within 1.1 x bare Qt" unit=MiB ;;
    wake) v=${wakeups[Pomrel]} r=${wakeups[$b]} f=1 label="idle wakeups at most bare Qt's" unit="" ;;
  esac
  verdict "$label" "$v" "$(awk -v r="$r" -v f="$f" 'BEGIN {print r * f}')" "($v vs $r${unit:+ $unit})"
done
verdict "idle wakeups 0 (the watch armed, nothing happening)" "${wakeups[Pomrel]}" 0 \
  "(${wakeups[Pomrel]} over $idle s)"
if [ -n "${start_med[udiskie]:-}" ]; then
  verdict "start at most 1/3 of udiskie's" "${start_med[Pomrel]}" \
    "$(awk -v u="${start_med[udiskie]}" 'BEGIN {print u / 3}')" \
    "(${start_med[Pomrel]} vs ${start_med[udiskie]} ms)"
  verdict "memory at most 1/2 of udiskie's" "${rss_mb[Pomrel]}" \
    "$(awk -v u="${rss_mb[udiskie]}" 'BEGIN {print u / 2}')" \
    "(${rss_mb[Pomrel]} vs ${rss_mb[udiskie]} MiB)"
else
  echo "n/a   the udiskie targets (udiskie could not be run)"
fi
exit 0

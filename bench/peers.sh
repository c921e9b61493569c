#!/usr/bin/env bash
# Pomrel beside a bare Qt tray icon program (bench/bare_tray.cc: the least a
# Qt tray icon costs), under one virtual display with one tray host: the time
# from start to the status icon being shown, resident memory after start, and
# idle wakeups (voluntary context switches of all threads) over a quiet
# period. Prints the figures, their ratio and a verdict per target;
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
pomrel_install_deps
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

# One environment for both programs: no session bus (so every toolkit
# takes the tray host's XEMBED protocol, the one trayer speaks, and nothing of a
# surrounding desktop leaks in) and a private runtime folder.
unset DBUS_SESSION_BUS_ADDRESS
work=$(mktemp -d)
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

stop_peers() {
  [ -z "${POMREL_MACHINE:-}" ] || rm -rf "$POMREL_MACHINE"
  rm -rf "$work"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
start_desktop
trap 'stop_peers; stop_desktop' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
fresh_machine

peers=(Pomrel BareTray)
declare -A command=(
  [Pomrel]="$build/Pomrel.app/Contents/MacOS/Pomrel"
  [BareTray]="$build/bench/bare_tray"
)
declare -A title=([Pomrel]="Pomrel" [BareTray]="bare Qt")

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
  printf '%-24s %10s %10s %12s\n' "$1" "${values[Pomrel]}" "${values[BareTray]}" \
    "$(ratio "${values[Pomrel]}" "${values[BareTray]}")"
}

qt=$(qtpaths6 --qt-version 2>/dev/null || pkg-config --modversion Qt6Core 2>/dev/null || echo "?")
echo "Pomrel beside a bare Qt tray icon: Xvfb with trayer, $runs start-ups each (medians), idle over $idle s"
echo "load average (1, 5, 15 min) of the machine: $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after"
echo "build: $build ($(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt"))$stale, Qt $qt"
echo
printf '%-24s %10s %10s %12s\n' "" Pomrel "bare Qt" "Pomrel/bare"
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
exit 0

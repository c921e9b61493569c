#!/usr/bin/env bash
# Start-up of Pomrel under a virtual display with a tray host: the time from
# process start to its status icon being shown, and its resident memory after
# start; medians over several runs, beside a bare Qt tray icon program.
set -euo pipefail
source "$(dirname "$0")/desktop.sh"
runs="${1:-11}"
start_desktop

measure() {
  local class=$1; shift
  local starts=() rss=()
  for _ in $(seq "$runs"); do
    line=$("$build/bench/tray_probe" --class "$class" --settle 1000 -- "$@")
    starts+=("$(sed -E 's/.*start_ms=([0-9.]+).*/\1/' <<<"$line")")
    rss+=("$(sed -E 's/.*rss_kb=([0-9]+).*/\1/' <<<"$line")")
  done
  printf '%-10s start %7.1f ms   rss %6.1f MB   (median of %d)\n' "$class" \
    "$(printf '%s\n' "${starts[@]}" | median)" \
    "$(printf '%s\n' "${rss[@]}" | median | awk '{print $1/1024}')" "$runs"
}

fresh_machine
measure Pomrel "$build/Pomrel.app/Contents/MacOS/Pomrel"
measure BareTray "$build/bench/bare_tray"
rm -rf "$POMREL_MACHINE"

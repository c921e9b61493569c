#!/usr/bin/env bash
# Idle wakeups: with the removal watch armed and nothing happening, the
# voluntary context switches a program makes over a quiet period (default
# 60 s), for Pomrel and for a bare Qt tray icon measured the same way.
set -euo pipefail
source "$(dirname "$0")/desktop.sh"
seconds="${1:-60}"
start_desktop
fresh_machine
for probe in "Pomrel $build/Pomrel.app/Contents/MacOS/Pomrel" "BareTray $build/bench/bare_tray"; do
  set -- $probe
  line=$("$build/bench/tray_probe" --class "$1" --settle 2000 --idle "$seconds" -- "$2")
  printf '%-10s %s wakeups over %d s\n' "$1" "$(sed -E 's/.*idle_wakeups=([0-9-]+).*/\1/' <<<"$line")" "$seconds"
done
rm -rf "$POMREL_MACHINE"

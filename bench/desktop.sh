# Sourced by the desktop measuring scripts: a virtual display with a tray host,
# started once and stopped when the script ends.
pomrel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${POMREL_BUILD:-$pomrel_root/build/dev}"

start_desktop() {
  local n
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || break
  done
  export DISPLAY=":$n"
  Xvfb "$DISPLAY" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
  trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
  trayer_pid=$!
  sleep 0.5
  trap stop_desktop EXIT
}

stop_desktop() {
  kill "$trayer_pid" "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}

# A fresh simulated machine with the driver installed and a card inserted.
fresh_machine() {
  export POMREL_MACHINE
  POMREL_MACHINE=$(mktemp -d)
  "$build/simulator/sxs-card" init --load-delay 0 >/dev/null
  "$build/simulator/sxs-card" insert >/dev/null
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

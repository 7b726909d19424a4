#!/usr/bin/env bash
# Window figures on a private Xvfb server with Mesa's software OpenGL (llvmpipe):
#   1. frames per second of the 800 x 600 window with the statistics text (cantilever example,
#      nothing running), over FRAMES frames (-quitafterframe counts frames, so none is waited for);
#   2. time from the start of ostrel to its first frame on the screen for the cantilever example
#      (the whole run with -quitafterframe:1, so it includes the short shutdown), best of RUNS;
#   3. the processor time of the idle window (cantilever, nothing running, no input: it waits
#      for events) as a share of one core, from /proc/<pid>/stat (user + system time of all its
#      threads) over IDLE_SECONDS, mapped and then unmapped (as when minimised; without a window
#      manager nothing iconifies).
# Usage: bench/window-bench.sh [BUILD_FOLDER] [FRAMES] [RUNS] [IDLE_SECONDS]   (defaults: build 3000 5 10)
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."
BUILD=${1:-build}
FRAMES=${2:-3000}
RUNS=${3:-5}
IDLE_SECONDS=${4:-10}
OSTREL="$(cd "$BUILD" && pwd)/bin/ostrel"
SCENE="$(pwd)/examples/cantilever/scene.txt"
[[ -x "$OSTREL" ]] || { echo "ERROR: \"$OSTREL\" is not built" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-bench-XXXXXX")
XVFB_PID=""
APP_PID=""
# Under set -e a failing kill or wait (a killed process's status) would end the clean-up early.
cleanup() {
  for pid in "$APP_PID" "$XVFB_PID"; do
    [[ -n "$pid" ]] || continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$WORK/display" 2>"$WORK/xvfb.log" &
XVFB_PID=$!
for _ in $(seq 1 400); do [[ -s "$WORK/display" ]] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$WORK/display" | tr -d '[:space:]')"
unset WAYLAND_DISPLAY
export XDG_RUNTIME_DIR="$WORK"
cd "$WORK"

echo "cores: $(nproc), load: $(cut -d' ' -f1-3 /proc/loadavg), renderer: llvmpipe under Xvfb"
"$OSTREL" -SCENE "$SCENE" -automation -noerrormsgboxes -quitafterframe:"$FRAMES" \
  >/dev/null 2>"$WORK/idle.err"
echo "window 800x600 with statistics text, every frame drawn: $(grep -E '^automation: loop ' "$WORK/idle.err" | sed 's/^automation: //')"

best=""
for _ in $(seq 1 "$RUNS"); do
  start=$(date +%s.%N)
  "$OSTREL" -SCENE "$SCENE" -noerrormsgboxes -quitafterframe:1 >/dev/null 2>&1
  end=$(date +%s.%N)
  t=$(python3 -c "print('%.3f' % ($end - $start))")
  best=$(python3 -c "print(min(float('$t'), float('${best:-1e9}')))")
  echo "start to first frame (cantilever, whole run): $t s"
done
echo "best: $best s"

"$OSTREL" -SCENE "$SCENE" -automation -noerrormsgboxes >/dev/null 2>"$WORK/rest.err" &
APP_PID=$!
for _ in $(seq 1 600); do
  grep -q '^automation: camera ' "$WORK/rest.err" 2>/dev/null && break
  sleep 0.05
done
grep -q '^automation: camera ' "$WORK/rest.err" || { echo "ERROR: no first frame" >&2; exit 1; }
sleep 2  # the start-up frames are over
# Clock ticks of user and system time (fields 14 and 15 of /proc/<pid>/stat).
ticks() { python3 -c "f = open('/proc/$APP_PID/stat').read().rsplit(')', 1)[1].split(); print(int(f[11]) + int(f[12]))"; }
share() {
  local t0 t1 s0 s1
  t0=$(ticks); s0=$(date +%s.%N)
  sleep "$IDLE_SECONDS"
  t1=$(ticks); s1=$(date +%s.%N)
  python3 -c "print('%.1f %% of a core (%d ticks in %.2f s)' % (100.0 * ($t1 - $t0) / $(getconf CLK_TCK) / ($s1 - $s0), $t1 - $t0, $s1 - $s0))"
}
echo "idle window (cantilever, nothing running): $(share)"
xdotool windowunmap "$(xdotool search --onlyvisible --name '^Ostrel' | head -n1)"
sleep 1
echo "unmapped window (as when minimised): $(share)"

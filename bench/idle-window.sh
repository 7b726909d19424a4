#!/usr/bin/env bash
# The processor time an idle window takes, on a private Xvfb server with Mesa's software OpenGL
# (llvmpipe): ostrel with the cantilever example, nothing running and no input, from its
# /proc/<pid>/stat (user + system time of all its threads) over SECONDS seconds, after it has
# drawn its first frames; then the same with the window unmapped (minimised). Prints the share
# of one core.
#   bench/idle-window.sh [build folder] [SECONDS]      (defaults: build 10)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
SECONDS_MEASURED=${2:-10}
OSTREL="$(cd "$BUILD" && pwd)/bin/ostrel"
SCENE="$(pwd)/examples/cantilever/scene.txt"
[[ -x "$OSTREL" ]] || { echo "ERROR: \"$OSTREL\" is not built" >&2; exit 1; }
for tool in Xvfb xdotool python3; do
  command -v "$tool" >/dev/null || { echo "ERROR: $tool is not installed" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-idle-XXXXXX")
XVFB_PID=""
APP_PID=""
cleanup() {
  [[ -n "$APP_PID" ]] && kill "$APP_PID" 2>/dev/null && wait "$APP_PID" 2>/dev/null
  [[ -n "$XVFB_PID" ]] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
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

"$OSTREL" -SCENE "$SCENE" -automation -noerrormsgboxes >/dev/null 2>"$WORK/app.err" &
APP_PID=$!
for _ in $(seq 1 600); do
  grep -q '^automation: camera ' "$WORK/app.err" 2>/dev/null && break
  sleep 0.05
done
grep -q '^automation: camera ' "$WORK/app.err" || { echo "ERROR: no first frame" >&2; exit 1; }
sleep 2  # the start-up frames are over

# Clock ticks of user and system time (fields 14 and 15 of /proc/<pid>/stat).
ticks() { python3 -c "f = open('/proc/$APP_PID/stat').read().rsplit(')', 1)[1].split(); print(int(f[11]) + int(f[12]))"; }
share() {
  local t0 t1 s0 s1
  t0=$(ticks); s0=$(date +%s.%N)
  sleep "$SECONDS_MEASURED"
  t1=$(ticks); s1=$(date +%s.%N)
  python3 -c "print('%.1f %% of a core (%d ticks in %.2f s)' % (100.0 * ($t1 - $t0) / $(getconf CLK_TCK) / ($s1 - $s0), $t1 - $t0, $s1 - $s0))"
}

echo "cores: $(nproc), load: $(cut -d' ' -f1-3 /proc/loadavg), renderer: llvmpipe under Xvfb"
echo "idle window (cantilever, nothing running): $(share)"
WID=$(xdotool search --onlyvisible --name '^Ostrel' | head -n1)
xdotool windowunmap "$WID"  # without a window manager nothing iconifies; unmapped is the same
sleep 1
echo "unmapped window (as when minimised): $(share)"

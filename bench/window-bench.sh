#!/usr/bin/env bash
# Window figures on a private Xvfb server with Mesa's software OpenGL (llvmpipe):
#   1. frames per second of the idle 800 x 600 window with the statistics text (cantilever
#      example, nothing running), over FRAMES frames;
#   2. time from the start of ostrel to its first frame on the screen for the cantilever example
#      (the whole run with -quitafterframe:1, so it includes the short shutdown), best of RUNS.
# Usage: bench/window-bench.sh [BUILD_FOLDER] [FRAMES] [RUNS]   (defaults: build 3000 5)
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."
BUILD=${1:-build}
FRAMES=${2:-3000}
RUNS=${3:-5}
OSTREL="$(cd "$BUILD" && pwd)/bin/ostrel"
SCENE="$(pwd)/examples/cantilever/scene.txt"
[[ -x "$OSTREL" ]] || { echo "ERROR: \"$OSTREL\" is not built" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-bench-XXXXXX")
XVFB_PID=""
cleanup() {
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

echo "cores: $(nproc), renderer: llvmpipe under Xvfb"
"$OSTREL" -SCENE "$SCENE" -automation -noerrormsgboxes -quitafterframe:"$FRAMES" \
  >/dev/null 2>"$WORK/idle.err"
echo "idle window 800x600 with statistics text: $(grep -E '^automation: loop ' "$WORK/idle.err" | sed 's/^automation: //')"

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

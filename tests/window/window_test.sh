#!/usr/bin/env bash
# Window tests of the interactive program on a virtual X server (Xvfb with Mesa's software
# OpenGL), with real input through xdotool and the zenity dialogs answered by key presses.
# Usage: window_test.sh OSTREL_EXECUTABLE PNG_PROBE_EXECUTABLE CASE
# Every wait polls with a deadline; nothing depends on how fast frames are drawn. The test
# starts its own display, so a program it needs that is not installed fails it, named.
set -uo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
(($# == 3)) || { echo "ERROR: Give the ostrel and png_probe executables and a case" >&2; exit 2; }

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
OSTREL=$1
PNG_PROBE=$2
CASE=$3
missing=()
for tool in Xvfb xdotool zenity python3; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
  echo "FAIL ($CASE): not installed: ${missing[*]} (scripts/setup installs them)"
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-window-XXXXXX")
XVFB_PID=""
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill -9 "$pid" 2>/dev/null; done
  [[ -n "$XVFB_PID" ]] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() { echo "FAIL ($CASE): $*"; for f in "$WORK"/*.out "$WORK"/*.err; do [[ -f $f ]] && { echo "--- $f"; tail -n 20 "$f"; }; done; exit 1; }

# A server of our own: -displayfd picks a free display number atomically, so tests of several
# users and parallel ctest runs never collide.
start_xvfb() {
  exec 5<> <(:)
  Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 5>"$WORK/display" &
  XVFB_PID=$!
  local deadline=$((SECONDS + 20))
  while [[ ! -s "$WORK/display" ]]; do
    ((SECONDS < deadline)) || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
    kill -0 "$XVFB_PID" 2>/dev/null || fail "Xvfb ended: $(cat "$WORK/xvfb.log")"
    sleep 0.05
  done
  export DISPLAY=":$(head -n1 "$WORK/display" | tr -d '[:space:]')"
  unset WAYLAND_DISPLAY
}

# The tiny cantilever scene: a 2 x 0.5 x 0.5 box of 16 x 4 x 4 voxels, centre (1, 0.25, 0.25).
write_scene() {
  cat >"$WORK/beam.obj" <<'OBJ'
v 0 0 0
v 2 0 0
v 2 0.5 0
v 0 0.5 0
v 0 0 0.5
v 2 0 0.5
v 2 0.5 0.5
v 0 0.5 0.5
f 1 3 2
f 5 6 7
f 1 4 3
f 5 7 8
f 1 2 6
f 1 6 5
f 2 3 7
f 2 7 6
f 3 4 8
f 3 8 7
f 4 1 5
f 4 5 8
OBJ
  cat >"$WORK/scene.txt" <<'SCENE'
VOXEL_SIZE: 0.125 0.125 0.125
ELASTIC_MODULUS: 2e9
POISSON_RATIO: 0.394
DENSITY: 1000
DAMPING_FACTOR: 0.5
TIME_STEP: 0.05
ADD_ADDITIONAL_SURFACE_VOXELS: 0
MESH: beam.obj
NUM_LEVELS: 3
FIXED_VERTICES: 0 0 0  0 1 0  0 2 0  0 3 0  0 4 0  0 0 4  0 4 4
FORCES: 16 0 0 0 0 -10
RENDERER_DEFAULT_VIEW_POS: -3 0.25 0.25
SCENE
}

# start NAME ARGS...: runs ostrel in $WORK with stdout/stderr in NAME.out/NAME.err.
start() {
  local name=$1; shift
  (cd "$WORK" && exec "$OSTREL" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" </dev/null) &
  local pid=$!
  PIDS+=("$pid")
  eval "PID_$name=$pid"
}

# finish NAME [TIMEOUT]: waits for the process; its exit code goes to RC.
finish() {
  local pid_var="PID_$1" deadline=$((SECONDS + ${2:-30}))
  local pid=${!pid_var}
  while kill -0 "$pid" 2>/dev/null; do
    ((SECONDS < deadline)) || { kill -9 "$pid"; fail "$1 did not end"; }
    sleep 0.05
  done
  wait "$pid"
  RC=$?
}

# window_id TITLE_REGEX [TIMEOUT]: polls for a window whose name matches; its id goes to WID.
window_id() {
  local deadline=$((SECONDS + ${2:-30}))
  WID=""
  while ((SECONDS < deadline)); do
    WID=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1)
    [[ -n "$WID" ]] && return 0
    sleep 0.05
  done
  fail "no window named /$1/"
}

# wait_line FILE REGEX [TIMEOUT]: polls until a line of FILE matches (grep -E).
wait_line() {
  local deadline=$((SECONDS + ${3:-30}))
  while ! grep -Eq "$2" "$1" 2>/dev/null; do
    ((SECONDS < deadline)) || fail "no line /$2/ in $1"
    sleep 0.05
  done
}

# wait_count FILE REGEX N [TIMEOUT]: polls until N lines of FILE match.
wait_count() {
  local deadline=$((SECONDS + ${4:-30}))
  while [[ $(grep -Ec "$2" "$1" 2>/dev/null) != "$3" ]]; do
    ((SECONDS < deadline)) || fail "not $3 lines /$2/ in $1"
    sleep 0.05
  done
}

focus() {
  xdotool mousemove --window "$1" 400 300
  xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
}

# close_window ID: Escape, the framework's hot key that closes the window.
close_window() { focus "$1"; xdotool key Escape; }

# last_camera FILE: the last camera line logged in automation mode.
last_camera() { grep -E '^automation: camera ' "$1" | tail -n1; }

# png_check FILE X0 Y0 X1 Y1: width, height and the number of yellow pixels in the rectangle.
png_check() { "$PNG_PROBE" "$@" || fail "cannot read $1"; }

# camera_count FILE: the number of camera lines logged so far.
camera_count() { grep -Ec '^automation: camera ' "$1"; }

# camera_lines CHECK ARGUMENT...: a check of the camera lines on standard input (camera_lines.py).
camera_lines() { python3 "$HERE/camera_lines.py" "$@"; }

# wait_camera FILE CONDITION [TIMEOUT]: polls until the last camera line of FILE meets the Python
# CONDITION on x, y, z, heading, pitch and distance (from the test scene's centre).
wait_camera() {
  local deadline=$((SECONDS + ${3:-30}))
  until camera_lines last "$2" <"$1" 2>/dev/null; do
    ((SECONDS < deadline)) || fail "the camera never met $2: $(last_camera "$1")"
    sleep 0.05
  done
}

# hold FILE N KEY...: holds the keys (pressed in this order) for at least N frames that change the
# camera, then releases them in the reverse order.
hold() {
  local file=$1 frames=$2; shift 2
  local want=$(($(camera_count "$file") + frames)) key
  for key in "$@"; do xdotool keydown "$key"; done
  local deadline=$((SECONDS + 30))
  while (($(camera_count "$file") < want)); do
    ((SECONDS < deadline)) || fail "holding $*: the camera stopped at $(last_camera "$file")"
    sleep 0.05
  done
  for ((key = $#; key > 0; --key)); do xdotool keyup "${!key}"; done
}

# start_at_the_default_view: starts "app" with frames of 0.1 s, waits for its first camera line
# (the default view: heading 0, the eye 5 in front of the centre on the -x side) and focuses
# its window, whose id goes to id.
start_at_the_default_view() {
  start app -SCENE scene.txt -automation -constantframetime:100
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: camera x=-4\.000 y=0\.250 z=0\.250 heading=0\.00 pitch=0\.00 roll=0\.00 turn=0\.00$'
  focus "$id"
}

# camera_steps FILE CENTRE KIND...: every change between two consecutive camera lines of FILE
# (one frame of -constantframetime:100 with a key held) must be one step of one KIND, and each
# KIND must occur at least three times. A KIND is QUANTITY:STEP[:LIMIT]; QUANTITY is x, y, z,
# heading, pitch or distance (from CENTRE, "x,y,z"), and every other quantity stays. With a
# LIMIT the last step may be shorter, ending on the LIMIT (a clamp). The counts are printed.
camera_steps() { camera_lines steps "${@:2}" <"$1" || fail "camera steps"; }

start_xvfb
write_scene
export XDG_RUNTIME_DIR="$WORK"  # the instance lock of this test alone

case "$CASE" in
startup_loads_the_scene_and_quits)
  start app -SCENE scene.txt -CPU 1 -quitafterframe:3
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  grep -q '^# #Elements: 256, ' "$WORK/app.out" || fail "no scene summary"
  # Nothing is solved or written: only the scene and its mesh (and the lock) are in the folder.
  left=$(cd "$WORK" && ls | grep -v -E '^(scene.txt|beam.obj|ostrel-window.lock|app.out|app.err|xvfb.log|display)$')
  [[ -z "$left" ]] || fail "files written: $left"
  grep -q 'Residual within cycle' "$WORK/app.out" && fail "the optimization ran by itself"
  ;;
stale_temporaries_are_removed_at_start)
  # A writer's temporary whose process is gone goes; other files that look alike stay.
  stale='OptimizedShape_final.vti.tmp999999999~'
  printf 'half-written' >"$WORK/$stale"
  printf 'keep' >"$WORK/notes.tmp~"
  printf 'keep' >"$WORK/OptimizedShape_final.vti.tmpabc~"
  start app -SCENE scene.txt -CPU 1 -quitafterframe:3
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  [[ ! -e "$WORK/$stale" ]] || fail "the stale temporary is still there"
  [[ -e "$WORK/notes.tmp~" && -e "$WORK/OptimizedShape_final.vti.tmpabc~" ]] ||
    fail "a file that is no temporary of a writer was removed"
  grep -qxF "Removed the temporary file \"$stale\" that an interrupted run left" "$WORK/app.out" ||
    fail "no line about the removed temporary"
  ;;
volume_fraction_below_one_element_is_refused)
  printf 'OPTIMIZATION_VOLUME_FRACTION: 1e-9\n' >>"$WORK/scene.txt"
  start app -SCENE scene.txt -CPU 1 -quitafterframe:3
  finish app; rc=$RC
  [[ $rc == 1 ]] || fail "exit code $rc"
  [[ "$(cat "$WORK/app.err")" == "ERROR: The volume fraction 1e-09 (OPTIMIZATION_VOLUME_FRACTION) is less than one element's share of the volume (1 of 256 elements: 0.003906)" ]] ||
    fail "message: $(cat "$WORK/app.err")"
  ;;
title_and_client_size)
  start app -SCENE scene.txt -automation -constantframetime:100
  window_id '^Ostrel'; id=$WID
  geometry=$(xdotool getwindowgeometry "$id" | grep Geometry)
  [[ $geometry == *"800x600"* ]] || fail "client size: $geometry"
  window_id '^Ostrel @ [0-9]+\.[0-9]{2} fps$'
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  ;;
window_position_from_the_command_line)
  start app -SCENE scene.txt -automation -startx:50 -starty:60
  window_id '^Ostrel'; id=$WID
  position=$(xdotool getwindowgeometry "$id" | grep Position)
  [[ $position == *"50,60"* ]] || fail "position: $position"
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  ;;
quit_after_frame)
  start app -SCENE scene.txt -automation -quitafterframe:7
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  grep -qx 'automation: frames 7' "$WORK/app.err" || fail "frame count"
  ;;
screenshot_with_statistics)
  start app -SCENE scene.txt -quitafterframe:3 -screenshotexit:shot.png
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  read -r w h stats <<<"$(png_check "$WORK/shot.png" 0 0 400 30)"
  read -r _ _ camera <<<"$(png_check "$WORK/shot.png" 0 30 500 60)"
  [[ "$w x $h" == "800 x 600" ]] || fail "screenshot size $w x $h"
  ((stats > 100 && camera > 100)) || fail "yellow text pixels: stats $stats, camera $camera"
  ;;
screenshot_without_statistics)
  start app -SCENE scene.txt -quitafterframe:3 -screenshotexit:shot.png -nostats -width:640 -height:480
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  read -r w h stats <<<"$(png_check "$WORK/shot.png" 0 0 640 30)"
  read -r _ _ camera <<<"$(png_check "$WORK/shot.png" 0 30 500 60)"
  [[ "$w x $h" == "640 x 480" ]] || fail "screenshot size $w x $h"
  ((stats == 0)) || fail "$stats yellow pixels where the statistics lines would be"
  ((camera > 100)) || fail "camera line missing ($camera)"
  ;;
screenshot_unwritable)
  start app -SCENE scene.txt -quitafterframe:1 -screenshotexit:no/such/folder/shot.png
  finish app; rc=$RC
  [[ $rc == 1 ]] || fail "exit code $rc"
  grep -q '^ERROR: Cannot write screenshot "no/such/folder/shot.png"' "$WORK/app.err" || fail "message"
  ;;
screenshot_on_signal)
  # Each SIGUSR1 writes the next frame; the program goes on, also when the file cannot be
  # written.
  start app -SCENE scene.txt -automation -screenshotonsignal:now.png
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: swap chain resized 800x600$'
  for shot in 1 2; do
    rm -f "$WORK/now.png"
    kill -USR1 "$PID_app"
    deadline=$((SECONDS + 20))
    while [[ ! -s "$WORK/now.png" ]]; do
      ((SECONDS < deadline)) || fail "no screenshot $shot"
      sleep 0.05
    done
    read -r w h stats <<<"$(png_check "$WORK/now.png" 0 0 400 30)"
    [[ "$w x $h" == "800 x 600" ]] || fail "screenshot $shot size $w x $h"
    ((stats > 100)) || fail "screenshot $shot: $stats yellow pixels of the statistics text"
  done
  ls "$WORK" | grep -q '\.tmp' && fail "temporary file left: $(ls "$WORK")"
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  start bad -SCENE scene.txt -automation -screenshotonsignal:no/such/folder/now.png
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/bad.err" '^automation: swap chain resized 800x600$'
  kill -USR1 "$PID_bad"
  wait_line "$WORK/bad.err" '^ERROR: Cannot write screenshot "no/such/folder/now.png"'
  kill -0 "$PID_bad" 2>/dev/null || fail "the program ended"
  close_window "$id"
  finish bad; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc after a failed screenshot"
  ;;
wheel_moves_the_orbit_in)
  # Heading 0, pitch 0: the eye lies on the -x side of the centre; three notches forward bring
  # it 3 * 0.04 closer.
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: camera .*heading=0\.00 pitch=0\.00 roll=0\.00'
  read -r x y z <<<"$(last_camera "$WORK/app.err" | sed -E 's/.*x=([-0-9.]+) y=([-0-9.]+) z=([-0-9.]+) .*/\1 \2 \3/')"
  want=$(python3 -c "print('x=%.3f y=%s z=%s' % ($x + 0.12, '$y', '$z'))")
  focus "$id"
  xdotool click --repeat 3 --delay 30 4
  wait_line "$WORK/app.err" "^automation: camera $want heading=0\.00 pitch=0\.00 roll=0\.00 turn=0\.00\$"
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  ;;
wheel_stops_the_orbit_at_a_tenth)
  # 150 notches forward from a distance of 5: the eye (on the -x side of the centre x = 1) stops
  # 0.1 in front of it, never nearer, and a key press afterwards leaves it there.
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: camera x=-4\.000 .*heading=0\.00 pitch=0\.00 roll=0\.00'
  focus "$id"
  xdotool click --repeat 150 --delay 5 4
  wait_line "$WORK/app.err" '^automation: camera x=0\.900 y=0\.250 z=0\.250 heading=0\.00 '
  xdotool keydown Left
  wait_line "$WORK/app.err" '^automation: camera .*heading=3[0-9]{2}\.[0-9]{2} '
  xdotool keyup Left
  # Positions have three decimals: distances within 0.001 of 0.1 are 0.1.
  camera_lines every "distance >= 0.099" <"$WORK/app.err" || fail "nearer than 0.1"
  camera_lines every "heading == 0 or distance <= 0.101" <"$WORK/app.err" ||
    fail "the eye left the distance of 0.1"
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  ;;
keys_and_drag_turn_the_camera)
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: camera .*heading=0\.00 pitch=0\.00'
  focus "$id"
  # Left in orbit mode turns the heading down from 0: it wraps to just below 360.
  xdotool keydown Left
  wait_line "$WORK/app.err" '^automation: camera .*heading=3[0-9]{2}\.[0-9]{2} pitch=0\.00'
  xdotool keyup Left
  # Dragging down with the left button raises the pitch (the eye goes up).
  xdotool mousemove --window "$id" 400 200 mousedown 1 mousemove --window "$id" 400 300
  wait_line "$WORK/app.err" '^automation: camera .* pitch=[1-9][0-9]*\.[0-9]{2} '
  xdotool mouseup 1
  line=$(last_camera "$WORK/app.err")
  z=$(sed -E 's/.* z=([-0-9.]+) .*/\1/' <<<"$line")
  python3 -c "import sys; sys.exit(0 if float('$z') > 0.25 else 1)" || fail "eye not above the centre: $line"
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  ;;
drag_on_the_panel_leaves_the_camera)
  # A left drag that starts on "Main Controls" (beside its controls) and goes on over the model
  # belongs to the panel: the camera's pitch stays 0 through the frames that the held Right key
  # turns the heading (the camera still takes the keys meanwhile).
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: camera .*heading=0\.00 pitch=0\.00 roll=0\.00'
  focus "$id"
  xdotool mousemove --window "$id" 600 520 mousedown 1
  xdotool mousemove --window "$id" 500 560 mousemove --window "$id" 300 580
  xdotool keydown Right
  wait_line "$WORK/app.err" '^automation: camera .*heading=([1-9]|[1-9][0-9])\.[0-9]{2} '
  xdotool keyup Right mouseup 1
  grep -E '^automation: camera ' "$WORK/app.err" | grep -vE ' pitch=0\.00 ' &&
    fail "the drag that started on the panel turned the camera"
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  ;;
idle_window_waits)
  # Nothing running and no input: the loop waits for events (one frame a second keeps the
  # frame rate current) instead of drawing as fast as it can; a key press still turns at once.
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: camera .*heading=0\.00 pitch=0\.00'
  sleep 3
  focus "$id"
  xdotool keydown Left
  wait_line "$WORK/app.err" '^automation: camera .*heading=3[0-9]{2}\.[0-9]{2} pitch=0\.00'
  xdotool keyup Left
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  waits=$(sed -nE 's/^automation: idle waits ([0-9]+)$/\1/p' "$WORK/app.err")
  [[ -n "$waits" ]] && ((waits >= 2)) || fail "the idle window waited ${waits:-no} times"
  ;;
minimised_window_draws_nothing)
  # Unmapped, as a window manager does when it iconifies: with nothing running the loop only
  # waits and draws no frame at all; mapped again, the window is drawn and takes keys at once.
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: camera .*heading=0\.00 pitch=0\.00'
  xdotool windowunmap --sync "$id"
  sleep 3
  xdotool windowmap --sync "$id"
  focus "$id"
  xdotool keydown Left
  wait_line "$WORK/app.err" '^automation: camera .*heading=3[0-9]{2}\.[0-9]{2} pitch=0\.00'
  xdotool keyup Left
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  read -r frames waits <<<"$(sed -nE 's/^automation: minimised frames ([0-9]+), waits ([0-9]+)$/\1 \2/p' "$WORK/app.err")"
  [[ "$frames" == 0 ]] || fail "frames drawn while minimised: ${frames:-none reported}"
  ((waits >= 2)) || fail "the minimised window waited ${waits:-no} times"
  ;;
resize_releases_and_resizes)
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: swap chain resized 800x600$'
  xdotool windowsize "$id" 640 480
  wait_line "$WORK/app.err" '^automation: swap chain resized 640x480$'
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  got=$(grep -E '^automation: (device|swap chain)' "$WORK/app.err" | tr '\n' '|')
  want='automation: device created|automation: swap chain resized 800x600|automation: swap chain releasing|automation: swap chain resized 640x480|automation: swap chain releasing|automation: device destroyed|'
  [[ "$got" == "$want" ]] || fail "order: $got"
  ;;
alt_enter_toggles_full_screen)
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: swap chain resized 800x600$'
  focus "$id"
  xdotool key alt+Return
  wait_line "$WORK/app.err" '^automation: swap chain resized 1280x1024$'
  focus "$id"
  xdotool key alt+Return
  wait_count "$WORK/app.err" '^automation: swap chain resized 800x600$' 2
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  ;;
settings_dialog_changes_the_device)
  # F2 shows the device-settings dialog, Enter is its OK: the device goes through its life cycle
  # again, the first-device settings are not applied twice, and the window stays.
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: swap chain resized 800x600$'
  focus "$id"
  xdotool key F2
  xdotool key Return
  wait_count "$WORK/app.err" '^automation: device created$' 2
  wait_count "$WORK/app.err" '^automation: swap chain resized 800x600$' 2
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  got=$(grep -E '^automation: (device|swap chain)' "$WORK/app.err" | tr '\n' '|')
  want='automation: device created|automation: swap chain resized 800x600|automation: swap chain releasing|automation: device destroyed|automation: device created|automation: swap chain resized 800x600|automation: swap chain releasing|automation: device destroyed|'
  [[ "$got" == "$want" ]] || fail "order: $got"
  ;;
chosen_scene_that_cannot_be_loaded)
  # The scene chosen in the open dialog is a mesh, not a scene: the fatal error names line 559.
  start app -automation
  window_id '^Load scene file$'; dialog=$WID
  # The file chooser may still be building its widgets when it first shows and then drops the
  # keys; type the path into its location field again until the dialog answers.
  for attempt in 1 2 3 4 5; do
    focus "$dialog"
    xdotool key ctrl+l
    xdotool key ctrl+a
    xdotool type --delay 20 "$WORK/beam.obj"
    xdotool key Return
    deadline=$((SECONDS + 5))
    while kill -0 "$PID_app" 2>/dev/null && xdotool search --onlyvisible --name '^Load scene file$' >/dev/null 2>&1 &&
      ((SECONDS < deadline)); do
      sleep 0.05
    done
    xdotool search --onlyvisible --name '^Load scene file$' >/dev/null 2>&1 || break
  done
  finish app; rc=$RC
  [[ $rc == 134 ]] || fail "exit code $rc (expected abort)"
  grep -q 'Cannot load scene' "$WORK/app.err" || fail "no report"
  grep -q 'line 559' "$WORK/app.err" || fail "line 559 missing"
  ;;
second_instance_answered_no)
  start first -SCENE scene.txt -automation
  window_id '^Ostrel'; first=$WID
  start second -SCENE scene.txt -automation
  window_id '^Warning$'; question=$WID
  focus "$question"
  xdotool key Escape
  finish second; rc=$RC
  [[ $rc == 0 ]] || fail "second instance exit code $rc"
  [[ ! -s "$WORK/second.out" ]] || fail "the second instance loaded something: $(head -n3 "$WORK/second.out")"
  grep -q '^# #Elements' "$WORK/first.out" || fail "the first instance did not load"
  close_window "$first"
  finish first; rc=$RC
  [[ $rc == 0 ]] || fail "first instance exit code $rc"
  ;;
open_dialog_cancelled)
  start app -automation
  window_id '^Load scene file$'; dialog=$WID
  focus "$dialog"
  xdotool key Escape
  finish app; rc=$RC
  [[ $rc == 1 ]] || fail "exit code $rc"
  [[ ! -s "$WORK/app.out" ]] || fail "output: $(head -n3 "$WORK/app.out")"
  ;;
fatal_error_dialog)
  start app -SCENE missing.txt
  window_id '^FATAL ERROR$'; box=$WID
  focus "$box"
  xdotool key Return
  finish app; rc=$RC
  [[ $rc == 134 ]] || fail "exit code $rc (expected abort)"
  grep -q 'Cannot load scene' "$WORK/app.err" || fail "no report on stderr"
  grep -q 'line 550' "$WORK/app.err" || fail "line 550 missing"
  # The batch program's line for the same scene, then the report with the same words.
  grep -qx 'ERROR: Cannot load scene "missing.txt"' "$WORK/app.err" || fail "not the batch line"
  grep -q '^Cannot load scene "missing.txt"' "$WORK/app.err" || fail "the report lacks the name"
  ;;
fatal_error_without_message_boxes)
  start app -SCENE missing.txt -noerrormsgboxes
  finish app; rc=$RC
  [[ $rc == 134 ]] || fail "exit code $rc (expected abort)"
  grep -q '^FATAL ERROR$' "$WORK/app.err" || fail "no report on stderr"
  grep -qx 'ERROR: Cannot load scene "missing.txt"' "$WORK/app.err" || fail "not the batch line"
  ;;
window_manager_close_says_what_was_not_written)
  # Alt+L moves the light to the camera, an edit of the scene; the window manager's close
  # request (WM_DELETE_WINDOW) in an automation run closes without asking and names it.
  cp "$WORK/scene.txt" "$WORK/before.txt"
  start app -SCENE scene.txt -automation
  window_id '^Ostrel'; id=$WID
  wait_line "$WORK/app.err" '^automation: camera '
  focus "$id"
  xdotool key alt+l
  python3 "$HERE/wm_close.py" "$id" || fail "cannot send the close request"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  grep -qx 'WARNING: Unsaved changes of light were not written to "scene.txt"' "$WORK/app.out" ||
    fail "no line about the unsaved light"
  [[ "$(cat "$WORK/scene.txt")" == "$(cat "$WORK/before.txt")" ]] || fail "the scene file changed"
  ;;
closing_asks_about_unsaved_edits)
  # Without -noerrormsgboxes the close request with an unsaved edit asks: Escape in the question
  # (Cancel) keeps the window, Return (Yes) writes the scene file and closes. Closing without
  # edits asks nothing.
  start app -SCENE scene.txt
  window_id '^Ostrel'; id=$WID
  focus "$id"
  xdotool key alt+l
  python3 "$HERE/wm_close.py" "$id" || fail "cannot send the close request"
  window_id '^Unsaved changes$'; question=$WID
  focus "$question"
  xdotool key Escape
  sleep 1
  kill -0 "$PID_app" 2>/dev/null || fail "Cancel ended the program"
  grep -q RENDERER_LIGHT_POS "$WORK/scene.txt" && fail "Cancel wrote the scene file"
  close_window "$id"
  window_id '^Unsaved changes$'; question=$WID
  focus "$question"
  xdotool key Return
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  grep -q '^RENDERER_LIGHT_POS: -4 0.25 0.25$' "$WORK/scene.txt" || fail "Yes did not write the light: $(grep LIGHT "$WORK/scene.txt")"
  start again -SCENE scene.txt
  window_id '^Ostrel'; id=$WID
  close_window "$id"
  finish again 20; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc of the run without edits"
  ;;
orbit_keys_turn_tilt_and_move_at_their_rates)
  # Every frame is 0.1 s long. In orbit mode at the speed 0.21 (maximum 1) a held arrow key turns
  # the heading by 0.21 * 0.1 * 180 = 3.78 degrees a frame, Page Up/Down the pitch by 1.89, and
  # Up/Down move the eye by 0.021; with Shift the speed is the maximum: 18 degrees, 0.1. The pitch
  # stops at 90 (and -90), the eye straight above the centre (1, 0.25, 0.25) at the distance 5.
  start_at_the_default_view
  hold "$WORK/app.err" 8 Left
  hold "$WORK/app.err" 8 shift Right
  xdotool keydown Prior
  wait_line "$WORK/app.err" '^automation: camera x=1\.000 y=0\.250 z=5\.250 heading=[0-9.]+ pitch=90\.00 '
  xdotool keyup Prior
  hold "$WORK/app.err" 8 Next
  hold "$WORK/app.err" 8 Up
  hold "$WORK/app.err" 8 shift Down
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  camera_steps "$WORK/app.err" 1,0.25,0.25 heading:-3.78 heading:18 pitch:1.89:90 \
    pitch:-1.89:-90 distance:-0.021 distance:0.1
  ;;
free_flight_moves_the_eye_at_its_speed)
  # Space switches to free flight: at heading 0 the arrow keys, Page Up/Down and the keypad move
  # the eye by 0.021 a frame along the camera's axes (Left along +y, the keypad's 8 along +x); a
  # wheel notch raises the speed by 3 / 100 of the maximum, to 0.024 a frame. Space again orbits
  # the centre from the eye's distance, on the heading 0: y and z go back to the centre's.
  start_at_the_default_view
  xdotool key space
  hold "$WORK/app.err" 8 Left
  hold "$WORK/app.err" 8 Prior
  hold "$WORK/app.err" 8 Next
  hold "$WORK/app.err" 8 KP_8
  xdotool click 4
  hold "$WORK/app.err" 8 Right
  cp "$WORK/app.err" "$WORK/free.log"
  read -r x y z <<<"$(last_camera "$WORK/free.log" | sed -E 's/.*x=([-0-9.]+) y=([-0-9.]+) z=([-0-9.]+) .*/\1 \2 \3/')"
  d=$(python3 -c "import math; print(math.dist(($x, $y, $z), (1, 0.25, 0.25)))")
  xdotool key space
  # (The printed coordinates carry three decimals: the distance is known to about 0.001.)
  wait_camera "$WORK/app.err" "abs(x - (1 - $d)) < 0.002 and (y, z, heading, pitch) == (0.25, 0.25, 0, 0)"
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  camera_steps "$WORK/free.log" 1,0.25,0.25 y:0.021 z:0.021 z:-0.021 x:0.021 y:-0.024
  ;;
side_and_default_view_keys)
  # 2 turns the camera to the heading 90 (pitch, roll and turn 0) at the orbit distance it has;
  # X goes back to the scene's default view, 5 in front of the centre on the -x side.
  start_at_the_default_view
  hold "$WORK/app.err" 5 Up
  hold "$WORK/app.err" 5 Prior
  hold "$WORK/app.err" 5 Left
  read -r x y z <<<"$(last_camera "$WORK/app.err" | sed -E 's/.*x=([-0-9.]+) y=([-0-9.]+) z=([-0-9.]+) .*/\1 \2 \3/')"
  d=$(python3 -c "import math; print(math.dist(($x, $y, $z), (1, 0.25, 0.25)))")
  xdotool key 2
  wait_camera "$WORK/app.err" "abs(y - (0.25 - $d)) < 0.002 and (x, z, heading, pitch) == (1, 0.25, 90, 0)"
  last_camera "$WORK/app.err" | grep -q ' roll=0\.00 turn=0\.00$' || fail "roll or turn: $(last_camera "$WORK/app.err")"
  hold "$WORK/app.err" 3 Next
  xdotool key x
  wait_line "$WORK/app.err" '^automation: camera x=-4\.000 y=0\.250 z=0\.250 heading=0\.00 pitch=0\.00 roll=0\.00 turn=0\.00$'
  close_window "$id"
  finish app; rc=$RC
  [[ $rc == 0 ]] || fail "exit code $rc"
  ;;
u_hides_the_text)
  # U hides the statistics and the camera line (and the panels). The picture is the one that
  # -screenshotexit takes at frame N; the 2 pressed after U shows in the log only when both keys
  # arrived before that frame, else the run is repeated with a later frame.
  for frames in 300 1200 4800; do
    rm -f "$WORK/shot.png" "$WORK/app.err"
    start app -SCENE scene.txt -automation -quitafterframe:$frames -screenshotexit:shot.png
    window_id '^Ostrel'; id=$WID
    focus "$id"
    xdotool key u key 2
    finish app 120; rc=$RC
    [[ $rc == 0 ]] || fail "exit code $rc"
    grep -Eq '^automation: camera .* heading=90\.00 ' "$WORK/app.err" && break
    echo "the keys came after frame $frames: again"
  done
  grep -Eq '^automation: camera .* heading=90\.00 ' "$WORK/app.err" || fail "the keys never arrived in time"
  read -r w h stats <<<"$(png_check "$WORK/shot.png" 0 0 400 30)"
  read -r _ _ camera <<<"$(png_check "$WORK/shot.png" 0 30 500 60)"
  [[ "$w x $h" == "800 x 600" ]] || fail "screenshot size $w x $h"
  ((stats == 0 && camera == 0)) || fail "yellow text pixels: stats $stats, camera $camera"
  ;;
no_display_stops_before_loading)
  # Without DISPLAY and WAYLAND_DISPLAY one error line, no output and nothing written.
  (cd "$WORK" && exec env -u DISPLAY -u WAYLAND_DISPLAY "$OSTREL" -SCENE scene.txt -CPU 1 \
    >"$WORK/app.out" 2>"$WORK/app.err" </dev/null) &
  PID_app=$!
  PIDS+=("$PID_app")
  finish app; rc=$RC
  ((rc != 0)) || fail "exit code 0"
  [[ ! -s "$WORK/app.out" ]] || fail "output: $(head -n3 "$WORK/app.out")"
  [[ "$(cat "$WORK/app.err")" == 'ERROR: Cannot open the Ostrel window: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)' ]] ||
    fail "message: $(cat "$WORK/app.err")"
  left=$(cd "$WORK" && ls | grep -v -E '^(scene.txt|beam.obj|app.out|app.err|xvfb.log|display)$')
  [[ -z "$left" ]] || fail "files written: $left"
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "PASS ($CASE)"

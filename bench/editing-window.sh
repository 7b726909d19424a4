#!/bin/sh
# Editing latencies and the frame rate of the interactive program on the cantilever example,
# under a virtual X display with Mesa's software rasterizer, driven by xdotool.
#
# Usage: bench/editing-window.sh [BUILD_FOLDER]      (default: build)
#
# Prints, over several repetitions:
#   - right click -> "Toggled fixation of vertex" on the console, and -> the handle red in a
#     screenshot of the window (the second includes one screenshot's own time; the program
#     writes its screenshots itself on SIGUSR1, read back by png_probe);
#   - drag step -> the new arrows in a screenshot;
#   - the frame rate from the window title ("Ostrel @ ... fps") while idle (the window then
#     waits for input and draws one frame a second) and while the optimization runs (one step
#     per frame).
# Needs xvfb-run and xdotool.
set -eu
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${OSTREL_BENCH_IN_XVFB:-}" ]; then
    OSTREL_BENCH_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-editing-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$here/examples/cantilever/beam.obj" "$work/"
{
    grep -v '^RENDERER_DEFAULT_' "$here/examples/cantilever/scene.txt"
    printf '\nRENDERER_DEFAULT_VIEW_POS: 1 -0.35 0.25\nRENDERER_DEFAULT_HEADING_PITCH_ROLL: 90 0 0\n'
    printf 'EDITOR_FORCE_SPHERE_RADIUS: 0.03\nEDITOR_FORCE_PER_PIXEL: 10\n'
} > "$work/scene.txt"
cd "$work"

now() { date +%s.%N; }
ms() { echo "$1 $2" | awk '{ printf "%.0f", ($2 - $1) * 1000 }'; }
# screenshot FILE: the program's next frame, which it writes on SIGUSR1 (renamed into place
# when complete).
screenshot() {
    rm -f window.png
    kill -USR1 "$app"
    while [ ! -f window.png ]; do sleep 0.002; done
    mv window.png "$1"
}
# Colour of the window's centre pixel: "r g b".
centre() {
    screenshot shot.png
    "$build/bin/png_probe" shot.png 400 300
}
is_red() { centre | awk '{ exit !($1 > $3 + 60) }'; }
fps() { xdotool getwindowname "$win" | sed -n 's/^Ostrel @ \([0-9.]*\) fps$/\1/p'; }

"$build/bin/ostrel" -SCENE scene.txt -noerrormsgboxes "-screenshotonsignal:$work/window.png" \
    > out.txt 2> err.txt &
app=$!
win=$(timeout 60 xdotool search --sync --onlyvisible --name '^Ostrel @' | head -1)
xdotool mousemove --window "$win" 400 300 windowfocus "$win"
sleep 1
echo "frame rate, idle, panels shown: $(fps) fps"
xdotool key u
sleep 2
echo "frame rate, idle, panels hidden: $(fps) fps"
xdotool key v
sleep 1

t0=$(now); centre > /dev/null; t1=$(now)
echo "one screenshot and its pixel read: $(ms "$t0" "$t1") ms"
echo "right click -> fixation change (ms): console line, screenshot"
for i in 1 2 3 4 5 6; do
    lines=$(grep -c "Toggled fixation" out.txt || true)
    t0=$(now)
    xdotool click 3
    while [ "$(grep -c "Toggled fixation" out.txt || true)" -le "$lines" ]; do sleep 0.005; done
    t1=$(now)
    # Odd clicks fix the handle (red), even ones free it again.
    if [ $((i % 2)) -eq 1 ]; then until is_red; do :; done; else while is_red; do :; done; fi
    t2=$(now)
    echo "  $(ms "$t0" "$t1") $(ms "$t0" "$t2")"
    sleep 0.3
done

echo "drag step -> new arrows on screen (ms, screenshot)"
xdotool key f
sleep 0.5
for i in 1 2 3 4 5; do
    xdotool mousemove --window "$win" 400 300
    sleep 0.3
    xdotool mousedown 3
    xdotool mousemove --window "$win" 405 300
    sleep 0.5
    screenshot before.png
    t0=$(now)
    xdotool mousemove --window "$win" 440 300
    while :; do
        screenshot after.png
        [ "$("$build/bin/png_probe" --differing before.png after.png)" -gt 500 ] && break
    done
    t1=$(now)
    xdotool mouseup 3
    echo "  $(ms "$t0" "$t1")"
    sleep 0.5
done

echo "frame rate while the optimization runs (one step per frame)"
xdotool key u
sleep 0.5
xdotool mousemove --window "$win" 445 352 click 1
sleep 12
for i in 1 2 3; do echo "  $(fps) fps"; sleep 3; done
steps=$(grep -c "^Time SOLVE: " out.txt || true)
grep "^Time SOLVE: " out.txt | tail -3 | sed 's/^/  /'
echo "  steps run: $steps"
xdotool click 1
xdotool mousemove --window "$win" 400 300 windowfocus "$win" key Escape
wait "$app"

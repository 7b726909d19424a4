#!/bin/sh
# A fair comparison of the default mode and the projection mode: each example is optimized in
# both modes (--converge TOL, at most ITERATIONS steps), and the final design of each run is
# solved again by ostrel-evaluate thresholded to solid and void at the level that keeps its
# volume, so that both are measured as the same kind of object. Prints one row per run: the
# iterations, how the run stopped, the compliance the run reported (on its own densities), its
# grey fraction, the compliance and volume fraction of the thresholded design, and the ratio of
# the thresholded compliance to that of the default mode.
#
# Usage: bench/compare-designs.sh [OUT_DIR] [EXAMPLE...]     (default: out/compare-designs, all four)
#
# Environment: OSTREL_BUILD_DIR (default build), TOL (default 0.001), ITERATIONS (default 501),
# BATCH_ARGS (extra options of both programs, e.g. "--device host --threads 2"), RUN_ARGS (extra
# options of ostrel-batch alone, e.g. --smooth). Each run leaves its files in
# OUT_DIR/<example>-<mode>/, its summary in OUT_DIR/<example>-<mode>.log and the evaluation in
# OUT_DIR/<example>-<mode>.eval.
set -eu
if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
    sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
fi
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${OSTREL_BUILD_DIR:-$root/build}/bin
out=${1:-out/compare-designs}
[ $# -gt 0 ] && shift
examples=${*:-cantilever bridge bracket ring}
tol=${TOL:-0.001}
mkdir -p "$out"
printf '%-11s %-9s %5s %-24s %12s %6s %12s %7s %6s\n' example mode iters stopped \
    run-compl grey crisp-compl volume ratio
for example in $examples; do
    reference=
    for mode in default projected; do
        flags="--converge $tol --iterations ${ITERATIONS:-501} --vtk --shape-every 0"
        [ "$mode" = projected ] && flags="$flags --projection"
        log="$out/$example-$mode.log"
        scene="$root/examples/$example/scene.txt"
        # shellcheck disable=SC2086
        "$bin/ostrel-batch" "$scene" $flags ${BATCH_ARGS:-} ${RUN_ARGS:-} --quiet \
            --output "$out/$example-$mode" > "$log" 2>&1 || true
        # shellcheck disable=SC2086
        "$bin/ostrel-evaluate" --scene "$scene" \
            --densities "$out/$example-$mode/OptimizedShape_final.vti" --threshold auto \
            ${BATCH_ARGS:-} > "$out/$example-$mode.eval" 2> "$out/$example-$mode.eval.log" || true
        iters=$(sed -n 's/^Iterations: \([0-9]*\) .*/\1/p' "$log")
        compliance=$(sed -n 's/^Compliance: \([^ ]*\).*/\1/p' "$log")
        grey=$(sed -n 's/^Grey fraction: \([^ ]*\) .*/\1/p' "$log")
        stopped=$(sed -n 's/^Stopped: \([a-z0-9 ]*\).*/\1/p' "$log" | cut -c1-24)
        crisp=$(sed -n 's/^Compliance: //p' "$out/$example-$mode.eval")
        volume=$(sed -n 's/^Volume fraction: \([^ ]*\) .*/\1/p' "$out/$example-$mode.eval")
        if ! grep -q '^Solve: ' "$out/$example-$mode.eval" ||
            grep -q '^ERROR' "$out/$example-$mode.eval.log"; then
            crisp="${crisp:-failed}!"
        fi
        [ "$mode" = default ] && reference=$crisp
        ratio=$(echo "$crisp $reference" | awk '{ if ($2 + 0 > 0) printf "%.3f", $1 / $2 }')
        printf '%-11s %-9s %5s %-24s %12s %6s %12s %7s %6s\n' "$example" "$mode" "$iters" \
            "$stopped" "$compliance" "$grey" "$crisp" "$volume" "$ratio"
    done
done

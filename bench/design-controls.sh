#!/bin/sh
# Default densities against projected densities (--projection) on the example scenes, both with
# --converge TOL: iterations run, final compliance relative to the first iteration, final volume
# fraction, grey fraction (designable elements with 0.1 < density < 0.9) and wall time.
#
# Usage: bench/design-controls.sh [OUT_DIR] [EXAMPLE...]   (default: out/design-controls, all four)
#
# Environment: OSTREL_BUILD_DIR (default build), TOL (default 0.001), MODES (default
# "default projected"), BATCH_ARGS (extra options, e.g. "--device host --threads 2"). Each run
# leaves its files in OUT_DIR/<example>-<mode>/ and its summary in OUT_DIR/<example>-<mode>.log.
set -eu
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
batch=${OSTREL_BUILD_DIR:-$root/build}/bin/ostrel-batch
out=${1:-out/design-controls}
[ $# -gt 0 ] && shift
examples=${*:-cantilever bridge bracket ring}
tol=${TOL:-0.001}
mkdir -p "$out"
printf '%-11s %-9s %6s %11s %7s %6s %9s  %s\n' example mode iters compliance volume grey wall stopped
for example in $examples; do
    for mode in ${MODES:-default projected}; do
        flags="--converge $tol"
        [ "$mode" = projected ] && flags="$flags --projection"
        log="$out/$example-$mode.log"
        start=$(date +%s.%N)
        # shellcheck disable=SC2086
        "$batch" "$root/examples/$example/scene.txt" $flags ${BATCH_ARGS:-} --quiet \
            --output "$out/$example-$mode" > "$log" 2>&1 || true
        end=$(date +%s.%N)
        iters=$(sed -n 's/^Iterations: \([0-9]*\) .*/\1/p' "$log")
        ratio=$(sed -n 's/^Compliance: .*(\([^ ]*\) x .*/\1/p' "$log")
        volume=$(sed -n 's/^Final volume fraction: //p' "$log")
        grey=$(sed -n 's/^Grey fraction: \([^ ]*\) .*/\1/p' "$log")
        stopped=$(sed -n 's/^Stopped: \([a-z0-9 ]*\).*/\1/p' "$log")
        printf '%-11s %-9s %6s %11s %7s %6s %8.0fs  %s\n' "$example" "$mode" "$iters" "$ratio" \
            "$volume" "$grey" "$(awk "BEGIN { print $end - $start }")" "$stopped"
    done
done

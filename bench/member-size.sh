#!/bin/sh
# The minimum member size measured on the examples: for each example scene and each size,
# ostrel-batch --min-member SIZE --converge 0.001 (at most ITERATIONS steps) on the host device,
# then the thinnest member and the narrowest gap of its final design (OptimizedShape_final.vti:
# density >= 0.5, 4x supersampled, thin pieces at least 4 voxels long, the kept elements solid
# but no member by themselves; bench/member_size.cpp).
#
# Usage: [COARSE=1] [EXAMPLES="cantilever ..."] bench/member-size.sh BUILD_DIR OUT_DIR
#            [ITERATIONS [SIZE...]]
#   defaults: 300 iterations, sizes 3 and 5, the four examples. COARSE=1 runs the examples at
#   half their resolution (bench/coarse-scene.py). Prints one line per run:
#   example size iterations-done seconds member M gap G exit-status stop-line
set -eu
case "${1:-}" in
-h | --help)
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
esac
if [ $# -lt 2 ]; then
    echo "ERROR: member-size.sh needs BUILD_DIR and OUT_DIR (Usage: see --help)" >&2
    exit 2
fi
build=$1
out=$2
iterations=${3:-300}
shift 2
[ $# -gt 0 ] && shift
sizes=${*:-3 5}
examples=${EXAMPLES:-cantilever bridge bracket ring}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
for example in $examples; do
    for size in $sizes; do
        dir="$out/$example-$size"
        scene="$root/examples/$example/scene.txt"
        if [ -n "${COARSE:-}" ]; then
            python3 "$root/bench/coarse-scene.py" "$scene" "$out/$example-coarse.txt"
            scene="$out/$example-coarse.txt"
        fi
        start=$(date +%s)
        status=0
        "$build/bin/ostrel-batch" "$scene" --min-member "$size" --converge 0.001 \
            -n "$iterations" --device host --threads "${THREADS:-1}" -q --vtk --shape-every 0 \
            -o "$dir" >"$dir.out" 2>"$dir.err" || status=$?
        seconds=$(($(date +%s) - start))
        done_steps=$(wc -l <"$dir/ObjectiveValue.txt")
        measured=$(python3 "$root/tests/tools/read_vti.py" "$dir/OptimizedShape_final.vti" |
                   "$build/bin/member_size")
        stopped=$(grep '^Stopped: ' "$dir.out" | head -1)
        echo "$example $size $done_steps $seconds $measured $status $stopped"
    done
done

#!/usr/bin/env bash
# The many-process engine beside the single-process program and the published figures of the
# established PETSc code, on that code's default problem family: a box cantilever 2:1:1 (x the
# long axis), the face x = 0 clamped, a line load on the lower far edge (x = max, z = min, all
# along y, downward), volume fraction 0.12, filter radius 0.08 of the height (0.08 * NZ voxels).
#
# Usage: [SIZES="65536 524288"] [ITERATIONS=10] [BATCH_OPTIONS="..."] [ENGINE_OPTIONS="..."]
#        [KEEP=DIR] bench/petsc-engine.sh
#        [SCALE_SIZES="65536 524288"] [SCALE_RANKS="1 2 4"] [KEEP=DIR] bench/petsc-engine.sh --scale
#   SIZES: element counts 2 n^3 (a grid 2n x n x n, n = 16, 32 or 64: 8192, 65536, 524288).
#   Default mode: for every size, ITERATIONS design iterations of (a) ostrel-batch on the host
#   device with 2 threads and (b) ostrel-batch --engine petsc on 2 ranks (OMP_NUM_THREADS=1) when
#   the build has it (build/bin/ostrel-batch-petsc; else the row says "engine not built"), then a
#   table: seconds per design iteration (the mean, least and largest of the programs' own
#   progress lines, which time each iteration without the set-up and the final files), the wall
#   time of the whole run, the peak resident memory of each rank (getrusage, through
#   bench/measure-run.py), the load averages before and after each run and the core count,
#   beside the peer's figures as the issue states them and the targets derived from them.
#   --scale: one distributed solve (ostrel-solve --engine petsc, tolerance 0.01, uniform
#   stiffness) per size and rank count (more ranks than cores are oversubscribed): the engine's
#   memory per element, every rank's peak memory, and the bytes each rank exchanges per V-cycle,
#   counted from the levels' DMDA decomposition (-dm_view) and measured by PETSc's counters
#   (-log_view with -pc_mg_log); see bench/ghost-bytes.py.
#   BATCH_OPTIONS: more ostrel-batch options for both programs (for example --solver pcg);
#   ENGINE_OPTIONS: for the engine only, before its PETSc options (for example --threads 1, or
#   "-- -ksp_monitor").
#   Scenes, logs and outputs go to a scratch folder that is removed at the end, or to KEEP.
#   The single-process rows take about 2 minutes on 2 idle cores (SIZES=65536: half a minute);
#   the engine's rows add their own time.
set -euo pipefail
case "${1:-}" in
-h | --help)
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    exit 0
    ;;
--scale | "") ;;
*)
    echo "ERROR: unknown argument \"$1\" (Usage: see --help)" >&2
    exit 2
    ;;
esac
mode=${1:-bench}
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${OSTREL_BUILD_DIR:-build}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
bin="$build/bin"
iterations=${ITERATIONS:-10}
measure=("python3" "$root/bench/measure-run.py")
# Open MPI as the project's mpi tests run it: consent as root, more ranks than cores allowed.
mpi_env=(env OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
    OMPI_MCA_rmaps_base_oversubscribe=1 OMP_NUM_THREADS=1)

for tool in ostrel-batch ostrel-make-scene ostrel-solve; do
    if [[ ! -x "$bin/$tool" ]]; then
        echo "ERROR: \"$bin/$tool\" not found; build first (scripts/setup)" >&2
        exit 1
    fi
done

if [[ -n "${KEEP:-}" ]]; then
    work=$KEEP
    mkdir -p "$work"
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/petsc-engine.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi

load() { # the 1-minute load average
    local one rest
    read -r one rest </proc/loadavg
    echo "$one"
}

# The scene of SIZE elements: sets n (the height in voxels), levels and radius; writes
# $work/scene-SIZE.txt (the mesh: a 2 x 1 x 1 box).
make_scene() {
    local size=$1
    n=""
    for candidate in 16 32 64; do
        if ((2 * candidate * candidate * candidate == size)); then n=$candidate; fi
    done
    if [[ -z "$n" ]]; then
        echo "ERROR: size $size is not 2 n^3 for n = 16, 32 or 64 (8192, 65536, 524288)" >&2
        exit 2
    fi
    # Coarsest level 8 x 4 x 4 elements; the filter radius 0.08 of the height.
    levels=3
    while (((n >> (levels - 1)) > 4)); do levels=$((levels + 1)); done
    radius=$(python3 -c "print('%.6g' % (0.08 * $n))")
    [[ -f "$work/box.obj" ]] || python3 "$root/scripts/make-mesh" box --size 2 1 1 \
        -o "$work/box.obj" >/dev/null
    "$bin/ostrel-make-scene" --mesh "$work/box.obj" --voxel "$(python3 -c "print(1 / $n)")" \
        --levels "$levels" --fix "x=0" --load "x=max and z=min" 0 0 -1000 \
        --volume-fraction 0.12 \
        --note "Box cantilever 2 x 1 x 1, $((2 * n)) x $n x $n elements: x = 0 clamped," \
        --note "a line load on the lower far edge (x = max, z = min), volume fraction 0.12." \
        -o "$work/scene-$size.txt" >"$work/scene-$size.log" 2>&1
    echo "OPTIMIZATION_FILTER_RADIUS: $radius" >>"$work/scene-$size.txt"
}

# The peer's figures as the issue gives them (2 ranks, 10 iterations; seconds per design
# iteration and MB per rank) and the targets: 4 times faster, a fifth of the memory.
peer_seconds() { case $1 in 65536) echo "17.3-23.8" ;; 524288) echo "210" ;; *) echo "-" ;; esac; }
peer_mb() { case $1 in 65536) echo "381" ;; 524288) echo "5976" ;; *) echo "-" ;; esac; }
single_issue() { case $1 in 65536) echo "3.0-3.9 s, 55 MB" ;; 524288) echo "22.9 s, 344 MB" ;; *) echo "-" ;; esac; }
target() { # seconds MB
    case $1 in
    65536) echo "<= 4.33-5.95 s, <= 76 MB" ;;
    524288) echo "<= 52.5 s, <= 1195 MB" ;;
    *) echo "-" ;;
    esac
}

# "wall W steps N mean M min A max B status S peak P" -> the table's cells.
field() { # LINE NAME
    local line=$1 name=$2
    set -- $line
    while (($# > 1)); do
        if [[ $1 == "$name" ]]; then
            echo "$2"
            return
        fi
        shift
    done
    echo "?"
}

show_failure() { # LINE LOG: a run that failed shows its log's last lines on standard error
    local status
    status=$(field "$1" status)
    if [[ $status != 0 ]]; then
        echo "A run ended with status $status; the last lines of \"$2\":" >&2
        tail -n 15 "$2" >&2
    fi
}

max_of_files() { # PREFIX: the largest number in PREFIX.*, and all of them
    local all="" largest=0 v
    for f in "$1".*; do
        [[ -f "$f" ]] || continue
        read -r v <"$f"
        all="$all${all:+/}$v"
        largest=$(python3 -c "print(max($largest, $v))")
    done
    echo "$largest ($all)"
}

cores=$(nproc)

if [[ $mode == "--scale" ]]; then
    echo "Scale of the distributed solve: ostrel-solve --engine petsc on the box cantilever"
    echo "(uniform stiffness, tolerance 0.01); $cores cores, ranks above that oversubscribed."
    for size in ${SCALE_SIZES:-65536 524288}; do
        make_scene "$size"
        for ranks in ${SCALE_RANKS:-1 2 4}; do
            tag="solve-$size-$ranks"
            before=$(load)
            status=0
            "${mpi_env[@]}" mpirun -n "$ranks" "${measure[@]}" peak "$work/$tag.peak" -- \
                "$bin/ostrel-solve" --engine petsc --scene "$work/scene-$size.txt" \
                --tolerance 0.01 -- -dm_view -log_view ":$work/$tag.log_view" -pc_mg_log \
                >"$work/$tag.out" 2>&1 || status=$?
            after=$(load)
            echo
            echo "== $size elements, $ranks rank(s), load $before -> $after, status $status"
            grep -E "^(Engine|Iterations|Solve time|Engine memory)" "$work/$tag.out" || true
            echo "Peak resident memory per rank (MB): $(max_of_files "$work/$tag.peak")"
            if ((ranks > 1)); then
                python3 "$root/bench/ghost-bytes.py" "$work/$tag.out" "$work/$tag.log_view" || true
            fi
        done
    done
    exit 0
fi

engine_built=0
[[ -x "$bin/ostrel-batch-petsc" ]] && engine_built=1
rows=()
for size in ${SIZES:-65536 524288}; do
    make_scene "$size"
    scene="$work/scene-$size.txt"
    # (a) the single-process program.
    before=$(load)
    line=$("${measure[@]}" run "$work/single-$size.log" -- "$bin/ostrel-batch" "$scene" \
        --iterations "$iterations" --device host --threads 2 --output "$work/single-$size" \
        ${BATCH_OPTIONS:-})
    after=$(load)
    show_failure "$line" "$work/single-$size.log"
    rows+=("$size|ostrel-batch, host, 2 threads|1|$(field "$line" mean) ($(field "$line" min)-$(field "$line" max))|$(field "$line" wall)|$(field "$line" peak)|$before -> $after|$(field "$line" status)")
    # (b) the engine on 2 ranks.
    if ((engine_built)); then
        before=$(load)
        line=$("${measure[@]}" run "$work/engine-$size.log" -- "${mpi_env[@]}" mpirun -n 2 \
            "${measure[@]}" peak "$work/engine-$size.peak" -- "$bin/ostrel-batch" "$scene" \
            --engine petsc --iterations "$iterations" --output "$work/engine-$size" \
            ${BATCH_OPTIONS:-} ${ENGINE_OPTIONS:-})
        after=$(load)
        show_failure "$line" "$work/engine-$size.log"
        rows+=("$size|ostrel-batch --engine petsc|2|$(field "$line" mean) ($(field "$line" min)-$(field "$line" max))|$(field "$line" wall)|$(max_of_files "$work/engine-$size.peak")|$before -> $after|$(field "$line" status)")
    else
        rows+=("$size|ostrel-batch --engine petsc|2|engine not built|-|-|-|-")
    fi
    if [[ $(peer_mb "$size") != "-" ]]; then
        rows+=("$size|peer (the issue's figures)|2|$(peer_seconds "$size")|-|$(peer_mb "$size")|-|-")
    fi
done

echo "Box cantilever 2:1:1, x = 0 clamped, line load on the lower far edge, volume fraction"
echo "0.12, filter radius 0.08 of the height; $iterations design iterations${BATCH_OPTIONS:+ ($BATCH_OPTIONS)}."
echo "Machine: $cores cores."
echo "s/iteration: mean (least-largest) of the progress lines' step times; wall: the whole run"
echo "(set-up and final files included); peak MB: the largest resident set of each rank."
echo
printf "%-9s %-31s %-5s %-20s %-8s %-22s %-14s %s\n" elements program ranks s/iteration wall-s \
    "peak MB per rank" "load 1 min" status
for row in "${rows[@]}"; do
    IFS='|' read -r a b c d e f g h <<<"$row"
    printf "%-9s %-31s %-5s %-20s %-8s %-22s %-14s %s\n" "$a" "$b" "$c" "$d" "$e" "$f" "$g" "$h"
done
echo
echo "The issue's figures (measured on this kind of machine, 2 ranks, 10 iterations), read as"
echo "seconds per design iteration and MB per rank, and the engine's targets (4 times faster"
echo "per design iteration than the peer, at most a fifth of its memory per rank):"
for size in ${SIZES:-65536 524288}; do
    echo "  $size elements: peer $(peer_seconds "$size") s, $(peer_mb "$size") MB;" \
        "single-process program $(single_issue "$size"); target $(target "$size")"
done
if [[ -n "${KEEP:-}" ]]; then echo "Logs and outputs: $work"; fi

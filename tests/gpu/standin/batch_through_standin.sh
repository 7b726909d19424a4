#!/usr/bin/env bash
# ostrel-batch on one scene, on the host device and on the CUDA device served by the driver
# stand-in: the CUDA run must name the stand-in in its device line, and every history file
# must equal the host device's byte for byte (the same kernels run, and every reduction has a
# fixed order).
#
# Usage: batch_through_standin.sh BIN_DIR STANDIN_DIR SCENE SCRATCH_DIR ITERATIONS [OPTION...]
# (the options go to both runs)
set -uo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
(($# >= 5)) || { echo "ERROR: Give BIN_DIR STANDIN_DIR SCENE SCRATCH_DIR ITERATIONS [OPTION...]" >&2; exit 2; }
bin="$1"; standin="$2"; scene="$3"; scratch="$4"; iterations="$5"
shift 5
rm -rf "$scratch"; mkdir -p "$scratch"
common=("$scene" --iterations "$iterations" --shape-every 0 --threads 2 "$@")
"$bin/ostrel-batch" "${common[@]}" --device host --output "$scratch/host" >"$scratch/host.log" 2>&1 ||
  { tail -20 "$scratch/host.log"; echo "FAILED: the host device's run"; exit 1; }
LD_LIBRARY_PATH="$standin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$bin/ostrel-batch" "${common[@]}" --device cuda --output "$scratch/cuda" >"$scratch/cuda.log" 2>&1 ||
  { tail -20 "$scratch/cuda.log"; echo "FAILED: the run through the CUDA driver stand-in"; exit 1; }
failures=0
grep -q '^Using CUDA device #0 (CUDA driver stand-in on the host CPU, not a GPU) \.\.\.$' "$scratch/cuda.log" ||
  { echo "FAILED: the CUDA run did not use the stand-in:"; grep -m2 -i device "$scratch/cuda.log"; failures=1; }
files=(ObjectiveValue.txt VolumeRatio.txt Sharpness.txt NumCycles.txt Constraint.txt)
for file in "${files[@]}"; do
  if ! cmp "$scratch/host/$file" "$scratch/cuda/$file"; then
    echo "FAILED: $file differs:"; diff "$scratch/host/$file" "$scratch/cuda/$file" | head -6
    failures=$((failures + 1))
  fi
done
[ "$(wc -l <"$scratch/host/ObjectiveValue.txt")" -ge "$iterations" ] ||
  { echo "FAILED: fewer than $iterations iterations written"; failures=$((failures + 1)); }
((failures == 0)) && echo "$(basename "$(dirname "$scene")"): ${#files[@]} history files equal on both devices"
((failures == 0))

#!/usr/bin/env bash
# ostrel-batch --engine petsc on 2 processes on a machine whose CUDA device the driver stand-in
# serves: without --device the engine's design steps stay on the host device (the device line
# names the host CPU, not the stand-in), and every history file equals that of the engine on a
# machine without the device byte for byte.
#
# Usage: engine_through_standin.sh BIN_DIR STANDIN_DIR SCENE SCRATCH_DIR ITERATIONS
set -uo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
(($# == 5)) || { echo "ERROR: Give BIN_DIR STANDIN_DIR SCENE SCRATCH_DIR ITERATIONS" >&2; exit 2; }
bin="$1"; standin="$2"; scene="$3"; scratch="$4"; iterations="$5"
rm -rf "$scratch"; mkdir -p "$scratch"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_rmaps_base_oversubscribe=1 OMP_NUM_THREADS=1
common=("$scene" --engine petsc --iterations "$iterations" --shape-every 0)
mpirun -n 2 "$bin/ostrel-batch" "${common[@]}" --output "$scratch/plain" \
  >"$scratch/plain.log" 2>&1 ||
  { tail -20 "$scratch/plain.log"; echo "FAILED: the engine's run without the device"; exit 1; }
LD_LIBRARY_PATH="$standin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" mpirun -x LD_LIBRARY_PATH -n 2 \
  "$bin/ostrel-batch" "${common[@]}" --output "$scratch/device" >"$scratch/device.log" 2>&1 ||
  { tail -20 "$scratch/device.log"; echo "FAILED: the engine's run beside the device"; exit 1; }
failures=0
grep -q '^Using CUDA device #0 (Host CPU (1 thread)) \.\.\.$' "$scratch/device.log" ||
  {
    echo "FAILED: the engine did not keep to the host device:"
    grep -m2 -i device "$scratch/device.log"
    failures=1
  }
for file in ObjectiveValue.txt VolumeRatio.txt Sharpness.txt NumCycles.txt Constraint.txt; do
  if ! cmp "$scratch/plain/$file" "$scratch/device/$file"; then
    echo "FAILED: $file differs:"; diff "$scratch/plain/$file" "$scratch/device/$file" | head -6
    failures=$((failures + 1))
  fi
done
((failures == 0)) && echo "PASSED: the engine kept to the host device beside the CUDA device"
exit $((failures > 0))

#!/usr/bin/env bash
# GPU check: on a machine with an NVIDIA GPU and the CUDA toolkit, builds Ostrel, solves the same
# cantilever on the host device and on the CUDA device, compares the two compliances (relative
# difference below 1e-6) and prints the CUDA run's lines (device list, memory report) and timings.
#
# bench/gpu-check.sh [build-dir] [NX NY NZ]   (defaults: build-gpu, 160 56 56 = 501 760 elements)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-gpu}"
nx="${2:-160}"; ny="${3:-56}"; nz="${4:-56}"
args=(--size "$nx" "$ny" "$nz" --voxel 0.01 --levels 5 --tolerance 1e-7)

nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv || true
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > "$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
ninja -C "$build" ostrel-solve ostrel_ptx
test -f "$build/bin/cudafemkernels.ptx" || { echo "ERROR: no cudafemkernels.ptx built"; exit 1; }

threads="$(nproc)"
echo "== host device ($threads threads)"
"$build/bin/ostrel-solve" "${args[@]}" --device host --threads "$threads" > "$build/host.log" 2>&1 \
  || { tail -5 "$build/host.log"; echo "host solve failed"; exit 1; }
grep -v "^Residual within cycle" "$build/host.log"
echo "== CUDA device"
"$build/bin/ostrel-solve" "${args[@]}" --device cuda > "$build/cuda.log" 2>&1 \
  || { tail -20 "$build/cuda.log"; echo "CUDA solve failed"; exit 1; }
grep -v "^Residual within cycle" "$build/cuda.log"
grep "^Residual within cycle" "$build/cuda.log" | tail -3

hostC="$(sed -n 's/^Compliance: //p' "$build/host.log")"
cudaC="$(sed -n 's/^Compliance: //p' "$build/cuda.log")"
python3 - "$hostC" "$cudaC" <<'PY'
import sys
h, c = float(sys.argv[1]), float(sys.argv[2])
rel = abs(h - c) / abs(h)
print(f"Compliance host {h:.9e}  cuda {c:.9e}  relative difference {rel:.3e}")
sys.exit(0 if rel < 1e-6 else 1)
PY
echo "GPU check passed"

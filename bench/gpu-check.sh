#!/usr/bin/env bash
# GPU check: on a machine with an NVIDIA GPU and the CUDA toolkit, builds Ostrel, solves the same
# cantilever on the host device and on the CUDA device, compares the two compliances (relative
# difference below 1e-6) and prints the CUDA run's lines (device list, memory report) and timings;
# then times one design iteration's solver part (prepareSolve and a solve to 0.01) of the
# 1 000 000-element cantilever on both devices and prints its split: uploads, assembly,
# factorization, cycles (with the coarse solves) and copies.
#
# Usage: bench/gpu-check.sh [BUILD_DIR] [NX NY NZ]   (defaults: build-gpu, 160 56 56 = 501 760 elements)
#
# Before anything is built it checks that the CUDA toolkit is there (nvcc from CUDA_HOME,
# /usr/local/cuda/bin or the PATH) and that the driver supports the toolkit's CUDA version: the
# driver compiles the module's PTX when it loads it and refuses PTX newer than itself.
set -euo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-gpu}"
nx="${2:-160}"; ny="${3:-56}"; nz="${4:-56}"
args=(--size "$nx" "$ny" "$nz" --voxel 0.01 --levels 5 --tolerance 1e-7)
iteration=(--size 200 70 72 --voxel 0.01 --levels 5 --tolerance 0.01)

nvcc=""
for candidate in "${CUDA_HOME:+$CUDA_HOME/bin/nvcc}" /usr/local/cuda/bin/nvcc "$(command -v nvcc || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then nvcc="$candidate"; break; fi
done
if [ -z "$nvcc" ]; then
  echo "ERROR: gpu-check.sh needs the CUDA toolkit to build cudafemkernels.ptx, and there is no" \
       "nvcc in CUDA_HOME/bin, /usr/local/cuda/bin or the PATH (install the toolkit or set CUDA_HOME)" >&2
  exit 1
fi
toolkit="$("$nvcc" --version | sed -n 's/.*release \([0-9][0-9]*\.[0-9][0-9]*\).*/\1/p' | head -1)"
if [ -z "$toolkit" ]; then
  echo "ERROR: cannot read the CUDA version of $nvcc" >&2
  exit 1
fi

# The CUDA version the driver supports, as major.minor, from the driver itself (nvidia-smi as
# the fallback); empty when there is no driver.
driverCudaVersion() {
  python3 - 2>/dev/null <<'PY' && return
import ctypes
lib = ctypes.CDLL("libcuda.so.1")
v = ctypes.c_int(0)
if lib.cuDriverGetVersion(ctypes.byref(v)) != 0 or v.value <= 0:
    raise SystemExit(1)
print(f"{v.value // 1000}.{v.value % 1000 // 10}")
PY
  nvidia-smi 2>/dev/null | sed -n 's/.*CUDA Version: *\([0-9][0-9]*\.[0-9][0-9]*\).*/\1/p' | head -1
}
driver="$(driverCudaVersion || true)"
if [ -z "$driver" ]; then
  echo "ERROR: no NVIDIA driver: libcuda.so.1 cannot be loaded (nor does nvidia-smi report one)" >&2
  exit 1
fi
echo "CUDA toolkit $toolkit ($nvcc), driver supports CUDA $driver"
if ! python3 -c 'import sys; d, t = (tuple(map(int, v.split("."))) for v in sys.argv[1:3]); sys.exit(0 if d >= t else 1)' \
     "$driver" "$toolkit"; then
  echo "ERROR: the driver supports CUDA $driver, older than the toolkit's CUDA $toolkit: it cannot" \
       "load the PTX this toolkit writes (CUDA_ERROR_UNSUPPORTED_PTX_VERSION, 222). Update the" \
       "driver (CUDA 13 needs R580 or newer) or build with a toolkit no newer than CUDA $driver" \
       "(CUDA_HOME)" >&2
  exit 1
fi

nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv || true
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_NVCC="$nvcc" \
  > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
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

# One design iteration's solver part at 1 000 000 elements: prepareSolve (uploads, assembly,
# factorization) and a solve to 0.01 from a zero start (cycles, copies).
for device in cuda host; do
  echo "== design iteration, 1 000 000 elements, $device device"
  extra=(); [ "$device" = host ] && extra=(--threads "$threads")
  "$build/bin/ostrel-solve" "${iteration[@]}" --device "$device" "${extra[@]}" \
    > "$build/iteration-$device.log" 2>&1 \
    || { tail -20 "$build/iteration-$device.log"; echo "$device solve failed"; exit 1; }
  grep -E "^(Cycles|prepareSolve time|Solve time|Time per cycle|Split )" "$build/iteration-$device.log"
done
echo "GPU check passed"

#!/usr/bin/env bash
# The GPU check: runs from a bundle made by scripts/gpu-bundle on a machine that has only the
# NVIDIA driver, and checks the CUDA device against the host device in seven steps. Output
# format (fixed; README "Checking a GPU"):
#
#   Ostrel GPU check of BUNDLE: ostrel VERSION, commit C, PTX: ...      (+ " -- dry run: host device only"
#                                                                        or " -- small sizes")
#   == N/7 TITLE                                 one header per step, in this order
#     DETAIL                                     detail lines, two spaces in
#   N/7 TITLE: PASS | FAIL (REASON) | SKIP (no GPU: dry run)
#   GPU check: PASS|FAIL (P passed, F failed, S skipped) in T s; logs in FOLDER
#
# Exit status 0 when no step failed, 1 when one did, 2 bad command line. With --host-only (the
# dry run) every step that needs a GPU runs on the host device only, its CUDA side taken by the
# host device with one thread, at small sizes; what has nothing to compare is skipped. With
# --small the CUDA device runs at the dry run's sizes (the suite runs the check so through the
# CUDA driver stand-in, which executes the kernels on the CPU).
#
# Time: the whole check keeps within --budget. Every step has a minimum (kMinimum below) that
# the steps before it leave over: a run gets at most what is left of the budget less the
# minimums of the steps after it and the grace its time-out allows; a run for which nothing is
# left is not started (its step fails, naming the budget). Step 7's cantilever is capped by
# memory and by the set-up time estimated from step 6's largest CUDA run.
set -uo pipefail

usage() {
  cat <<'EOF'
Usage: gpu-check.sh BUNDLE [--host-only | --small] [--budget SECONDS]
Checks the CUDA device of this machine with the programs of BUNDLE (made by scripts/gpu-bundle),
printing each step with PASS or FAIL:
  1 driver, toolkit and device: versions, the device's name and memory, the module loads
  2 GPU tests: test_gpu and test_kernels
  3 coarse operators: every level, CUDA device against the host device, slot by slot, to 1e-12
  4 cantilever on both devices: solved to 1e-7, compliances agree to 1e-6
  5 history files: ostrel-batch, 20 iterations of each example on both devices, to 1e-5
  6 split of one design iteration: 10^6 elements (both devices) and 10^7 (CUDA device)
  7 largest cantilever that fits (memory and time): elements, bytes per element, seconds per
    design iteration, and the bytes per element extrapolated to the whole device memory

  --host-only        dry run without a GPU: the host device only, small sizes
  --small            the CUDA device at the dry run's small sizes (for the driver stand-in)
  --budget SECONDS   time for the whole check, the minimum of every step included (default 420)
  -h, --help         show this help and exit
EOF
}

bundle=""; hostOnly=0; small=0; budget=420
while (($#)); do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --host-only) hostOnly=1; shift ;;
    --small) small=1; shift ;;
    --budget)
      [[ "${2:-}" =~ ^[0-9]+$ ]] || { echo "ERROR: --budget needs a number of seconds" >&2; exit 2; }
      budget="$2"; shift 2 ;;
    -*) echo "ERROR: unknown option $1" >&2; usage >&2; exit 2 ;;
    *)
      [ -z "$bundle" ] || { echo "ERROR: more than one bundle given" >&2; usage >&2; exit 2; }
      bundle="$1"; shift ;;
  esac
done
[ -n "$bundle" ] || { echo "ERROR: no bundle given" >&2; usage >&2; exit 2; }
((hostOnly && small)) && { echo "ERROR: --host-only and --small do not go together" >&2; exit 2; }
if [ ! -f "$bundle/BUNDLE.txt" ] || [ ! -f "$bundle/env.sh" ]; then
  echo "ERROR: \"$bundle\" is not a GPU bundle (no BUNDLE.txt or env.sh); make one with" \
       "scripts/gpu-bundle" >&2
  exit 2
fi
bundle="$(cd "$bundle" && pwd)"
# shellcheck source=/dev/null
. "$bundle/env.sh"
info() { sed -n "s/^$1: //p" "$bundle/BUNDLE.txt"; }

work="$(mktemp -d "${TMPDIR:-/tmp}/ostrel-gpu-check.XXXXXX")"
cd "$work" || exit 1
threads="$(nproc)"
start=$SECONDS
passed=0; failed=0; skipped=0; failedSteps=""

# The two sides of every comparison: the host device with every core, and the CUDA device (in
# the dry run: the host device with one thread).
reference=(--device host --threads "$threads")
referenceName="host device, $threads threads"
if ((hostOnly)); then
  device=(--device host --threads 1); deviceName="host device, 1 thread (dry run)"
else
  device=(--device cuda --threads "$threads"); deviceName="CUDA device"
fi
if ((hostOnly || small)); then
  cantilever=(--size 40 14 14 --levels 3); iterations=1
  million=(--size 20 7 8 --levels 3); tenMillion=(--size 40 14 14 --levels 3)
  millionElements=1120; tenMillionElements=7840
  largest=(--largest --memory-limit 16)
else
  cantilever=(--size 160 56 56 --levels 5); iterations=20
  million=(--size 200 70 72 --levels 5); tenMillion=(--size 430 150 155 --levels 6)
  millionElements=1008000; tenMillionElements=9997500
  largest=(--largest)
fi
# The least time each step needs (seconds, by step number); the sum stays well under the default
# budget, so that every step runs at least that long whatever the ones before it took.
kMinimum=(0 20 60 30 30 60 40 40)
# Seconds a timed-out run may take beyond its limit before it is killed.
kGrace=5

title=""; number=0
begin() { number="$1"; title="$2"; echo "== $number/7 $title"; }
detail() { echo "  $*"; }
verdict() {  # PASS | FAIL reason | SKIP
  case "$1" in
    PASS) passed=$((passed + 1)); echo "$number/7 $title: PASS${2:+ ($2)}" ;;
    FAIL) failed=$((failed + 1)); failedSteps="$failedSteps $number"
          echo "$number/7 $title: FAIL (${2:-see the lines above})" ;;
    SKIP) skipped=$((skipped + 1)); echo "$number/7 $title: SKIP (no GPU: dry run)" ;;
  esac
}
# Seconds a run of the current step may take when it needs at most $1: what is left of the budget
# less the minimums of the later steps and the grace of the run's time-out; 0 when nothing is.
limit() {
  local reserved=0 k
  for ((k = number + 1; k < ${#kMinimum[@]}; ++k)); do reserved=$((reserved + kMinimum[k])); done
  local left=$((budget - (SECONDS - start) - reserved - kGrace))
  ((left > $1)) && left=$1
  ((left < 1)) && left=0
  echo "$left"
}
# run LOG SECONDS COMMAND...: stdout and stderr into LOG; the status, 124 on a time-out, 125
# when no time was left to start it.
run() {
  local log="$1" seconds="$2"; shift 2
  if ((seconds < 1)); then
    echo "not run: nothing left of the budget of $budget s" >"$log"
    return 125
  fi
  # In a subshell, so that the shell's note on a killed command stays out of the output.
  (timeout --kill-after="$kGrace" "$seconds" "$@" >"$log" 2>&1) 2>/dev/null
}
# Why a run failed, from its status and log.
why() {
  case "$1" in
    124|137) echo "timed out after $2 s" ;;
    125) echo "not run: nothing left of the budget of $budget s" ;;
    *) echo "exit status $1: $(grep -m1 -E 'ERROR|FATAL|no CUDA device|not converged' "$3" || tail -1 "$3")" ;;
  esac
}
value() { sed -n "s/^$1: *//p" "$2" | head -1; }
# The solver's lines worth showing of an ostrel-solve log.
solverLines() {
  grep -E '^(Largest cantilever|Allocated GPU memory|Cycles|prepareSolve time|Solve time|Split of one design iteration|  )' "$1" |
    sed 's/^/  /'
}
# Largest relative difference |a-b|/max(|a|,|b|) over two files of numbers, line by line, and
# the line count; "mismatch N" when their lengths or a non-numeric line differ.
compareFiles() {
  awk -v A="$1" -v B="$2" '
    function abs(v) { return v < 0 ? -v : v }
    function num(s) { return s ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ }
    BEGIN {
      worst = 0; n = 0
      while ((getline a < A) > 0) {
        if ((getline b < B) <= 0) { print "mismatch " n; exit }
        n++
        if (a == b) continue
        if (!num(a) || !num(b)) { print "mismatch " n; exit }
        m = abs(a + 0) > abs(b + 0) ? abs(a + 0) : abs(b + 0)
        r = m > 0 ? abs(a - b) / m : 0
        if (r > worst) worst = r
      }
      if ((getline b < B) > 0) { print "mismatch " n; exit }
      printf "%.2e %d\n", worst, n
    }'
}
# The names of the tests that failed, from gtest's summary at the end of a log.
failedTests() {
  grep -E '^\[  FAILED  \] [A-Za-z]' "$1" | grep -vE ' \([0-9]+ ms\)$' | sed 's/, where GetParam().*//' |
    head -10 | sed 's/^/  /'
}
# gtest's counts of a log: "P passed, S skipped, F failed".
gtestCounts() {
  local p s f
  p="$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\..*/\1/p' "$1")"
  s="$(sed -nE 's/^\[  SKIPPED \] ([0-9]+) tests?,.*/\1/p' "$1" | head -1)"
  f="$(sed -nE 's/^ *([0-9]+) FAILED TESTS?$/\1/p' "$1")"
  echo "${p:-0} passed, ${s:-0} skipped, ${f:-0} failed"
}

header="Ostrel GPU check of $bundle: ostrel $(info version), commit $(info commit), PTX: $(info ptx)"
((hostOnly)) && header="$header -- dry run: host device only"
((small)) && header="$header -- small sizes"
echo "$header"

# ---- 1: driver, toolkit and device -------------------------------------------------------
begin 1 "driver, toolkit and device"
ok=1; reason=""
need="$(info glibc)"
have="$(getconf GNU_LIBC_VERSION 2>/dev/null | sed 's/^glibc //')"
detail "C library: glibc ${have:-unknown} (the bundle needs ${need:-unknown} or newer)"
if [ -n "$need" ] && [ "$need" != unknown ] && [ -n "$have" ] &&
   [ "$(printf '%s\n%s\n' "$need" "$have" | sort -V | head -1)" != "$need" ]; then
  ok=0; reason="glibc $have is older than the bundle's $need"
fi
ptxRelease="$(info ptx | sed -n 's/^nvcc \([0-9][0-9.]*\) .*/\1/p')"
detail "toolkit: the module was built by $(info ptx)"
for nvcc in "$(command -v nvcc)" /usr/local/cuda/bin/nvcc; do
  if [ -n "$nvcc" ] && [ -x "$nvcc" ]; then
    detail "toolkit here: $("$nvcc" --version | sed -n 's/.*release \([0-9.]*\), \(V[0-9.]*\).*/nvcc \1 (\2)/p' | head -1) ($nvcc)"
    break
  fi
done
if ((hostOnly)); then
  detail "driver: none used (dry run)"
else
  [ -f "$bundle/bin/cudafemkernels.ptx" ] || { ok=0; reason="the bundle holds no cudafemkernels.ptx"; }
  if command -v nvidia-smi >/dev/null; then
    driverVersion="$(nvidia-smi --query-gpu=driver_version --format=csv,noheader 2>/dev/null | head -1)"
    driverCuda="$(nvidia-smi 2>/dev/null | sed -n 's/.*CUDA Version: *\([0-9][0-9]*\.[0-9][0-9]*\).*/\1/p' | head -1)"
    detail "driver: ${driverVersion:-unknown}, supports CUDA ${driverCuda:-unknown}"
    nvidia-smi --query-gpu=name,memory.total,memory.used --format=csv,noheader 2>/dev/null |
      sed 's/^/  nvidia-smi: /'
    if [ -n "$driverCuda" ] && [ -n "$ptxRelease" ] &&
       [ "$(printf '%s\n%s\n' "$ptxRelease" "$driverCuda" | sort -V | head -1)" != "$ptxRelease" ]; then
      ok=0
      reason="the driver supports CUDA $driverCuda, older than the module's CUDA $ptxRelease: it"
      reason="$reason cannot load the PTX (CUDA_ERROR_UNSUPPORTED_PTX_VERSION); update the driver"
    fi
  else
    detail "driver: no nvidia-smi here; the module load below tells"
  fi
fi
log="$work/1-device.log"
# The first CUDA step runs each launch to its end before the next call returns, so that a
# faulting kernel is named by the failing call itself.
seconds="$(limit 60)"
run "$log" "$seconds" env CUDA_LAUNCH_BLOCKING=1 ostrel-solve --size 8 4 4 --voxel 0.125 --levels 3 \
  --tolerance 0.01 "${device[@]}"
status=$?
grep -E '^(CUDA device #|Using CUDA device)' "$log" | sed 's/^/  /'
deviceBytes="$(sed -n 's/^CUDA device #0 (.*):  Global Mem: \([0-9]*\)$/\1/p' "$log" | head -1)"
if ((status != 0)); then ok=0; reason="${reason:+$reason; }a first solve: $(why $status "$seconds" "$log")"; fi
((ok)) && verdict PASS || verdict FAIL "$reason"

# ---- 2: GPU tests --------------------------------------------------------------------------
begin 2 "GPU tests"
ok=1; reason="a test failed"
if [ -z "${OSTREL_PTXAS:-}" ] && command -v ptxas >/dev/null; then export OSTREL_PTXAS="$(command -v ptxas)"; fi
for t in test_gpu test_kernels; do
  log="$work/2-$t.log"
  seconds="$(limit 180)"
  t0=$SECONDS
  run "$log" "$seconds" "$bundle/bin/$t"
  status=$?
  detail "$t: $(gtestCounts "$log") ($((SECONDS - t0)) s)"
  if ((status != 0)); then
    ok=0
    failedTests "$log"
    ((status == 124 || status == 137)) && detail "$t: timed out after $seconds s"
    ((status == 125)) && reason="$(why 125 0 "$log")"
  fi
done
((ok)) && verdict PASS || verdict FAIL "$reason"

# ---- 3: coarse operators -------------------------------------------------------------------
begin 3 "coarse operators, CUDA device against the host device"
log="$work/3-test_galerkin_cuda.log"
seconds="$(limit 120)"
if ((hostOnly)); then
  run "$log" "$seconds" "$bundle/bin/test_galerkin_cuda"
else
  run "$log" "$seconds" env OSTREL_REQUIRE_GPU=1 "$bundle/bin/test_galerkin_cuda"
fi
status=$?
counts="$(gtestCounts "$log")"
detail "test_galerkin_cuda: $counts"
grep -E '^  [a-z_]+ \(.*largest slot difference' "$log"
if ((status != 0)); then
  failedTests "$log"
  verdict FAIL "$(why $status "$seconds" "$log")"
elif ((hostOnly)) && [[ "$counts" == "0 passed, "* ]]; then
  verdict SKIP
elif [[ "$counts" == *" 0 skipped, 0 failed" && "$counts" != "0 passed,"* ]]; then
  verdict PASS "every slot within 1e-12 of its vertex's largest entry"
else
  verdict FAIL "not every case ran: $counts"
fi

# ---- 4: the cantilever on both devices -------------------------------------------------------
begin 4 "cantilever on both devices, to 1e-7"
ok=1; reason=""
for side in reference device; do
  log="$work/4-$side.log"
  seconds="$(limit 120)"
  if [ $side = reference ]; then args=("${reference[@]}"); name="$referenceName"; else args=("${device[@]}"); name="$deviceName"; fi
  run "$log" "$seconds" ostrel-solve "${cantilever[@]}" --voxel 0.01 --tolerance 1e-7 "${args[@]}"
  status=$?
  if ((status != 0)); then
    ok=0; reason="${reason:+$reason; }$name: $(why $status "$seconds" "$log")"
  else
    detail "$name: compliance $(value Compliance "$log"), $(value Cycles "$log") cycles, solve $(value 'Solve time' "$log")"
  fi
done
if ((ok)); then
  rel="$(awk -v a="$(value Compliance "$work/4-reference.log")" -v b="$(value Compliance "$work/4-device.log")" \
         'BEGIN { d = a - b; if (d < 0) d = -d; m = a < 0 ? -a : a; printf "%.2e", (m > 0 ? d / m : 1) }')"
  detail "relative difference of the compliances: $rel (at most 1e-06)"
  if awk -v r="$rel" 'BEGIN { exit !(r <= 1e-6) }'; then verdict PASS "$rel"; else verdict FAIL "compliances differ by $rel"; fi
else
  verdict FAIL "$reason"
fi

# ---- 5: history files ------------------------------------------------------------------------
if ((iterations == 1)); then runLength="1 iteration"; else runLength="$iterations iterations"; fi
begin 5 "history files of $runLength of every example on both devices, to 1e-5"
ok=1; worstAll=0.00e+00; runsFailed=""
for scene in "$bundle"/examples/*/scene.txt; do
  example="$(basename "$(dirname "$scene")")"
  times=""; ran=1
  for side in reference device; do
    if [ $side = reference ]; then args=("${reference[@]}"); name="$referenceName"; else args=("${device[@]}"); name="$deviceName"; fi
    out="$work/5-$example-$side"
    seconds="$(limit 150)"
    t0=$SECONDS
    run "$out.log" "$seconds" ostrel-batch "$scene" --iterations "$iterations" --output "$out" \
      --quiet --shape-every 0 "${args[@]}"
    status=$?
    times="$times${times:+, }$name $((SECONDS - t0)) s"
    if ((status != 0)); then ok=0; ran=0; runsFailed=1; detail "$example ($name): $(why $status "$seconds" "$out.log")"; fi
  done
  ((ran)) || continue
  worst=0.00e+00; worstFile=""
  for file in ObjectiveValue.txt VolumeRatio.txt Sharpness.txt NumCycles.txt Constraint.txt; do
    a="$work/5-$example-reference/$file"; b="$work/5-$example-device/$file"
    if [ ! -f "$a" ] || [ ! -f "$b" ]; then ok=0; detail "$example: no $file"; continue; fi
    read -r diff lines < <(compareFiles "$a" "$b")
    if [ "$diff" = mismatch ]; then ok=0; detail "$example: $file differs in line $((lines + 1))"; continue; fi
    if awk -v d="$diff" -v w="$worst" 'BEGIN { exit !(d > w) }'; then worst="$diff"; worstFile="$file"; fi
  done
  detail "$example: largest relative difference $worst${worstFile:+ ($worstFile)}; $times"
  awk -v d="$worst" -v w="$worstAll" 'BEGIN { exit !(d > w) }' && worstAll="$worst"
done
if ! awk -v d="$worstAll" 'BEGIN { exit !(d <= 1e-5) }'; then ok=0; fi
if ((ok)); then
  verdict PASS "largest relative difference $worstAll, at most 1e-05"
else
  verdict FAIL "largest relative difference $worstAll${runsFailed:+ of the runs that finished}, at most 1e-05 allowed"
fi

# ---- 6: split of one design iteration ----------------------------------------------------------
begin 6 "split of one design iteration"
ok=1; reason=""
for run_ in "million device" "million reference" "tenMillion device"; do
  read -r size side <<<"$run_"
  if [ $side = reference ]; then args=("${reference[@]}"); else args=("${device[@]}"); fi
  if [ $size = million ]; then sizeArgs=("${million[@]}"); else sizeArgs=("${tenMillion[@]}"); fi
  log="$work/6-$size-$side.log"
  seconds="$(limit 150)"
  t0="$(date +%s.%N)"
  run "$log" "$seconds" ostrel-solve "${sizeArgs[@]}" --voxel 0.01 --tolerance 0.01 --profile "${args[@]}"
  status=$?
  solverLines "$log"
  if ((status != 0)); then ok=0; reason="${reason:+$reason; }$(why $status "$seconds" "$log")"
  elif ! grep -qE '^  total  +[0-9.]+ ms$' "$log"; then ok=0; reason="${reason:+$reason; }no split printed"
  elif [ $side = device ]; then
    # The largest device run that finished sets the pace of step 7's estimate.
    measuredSeconds="$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')"
    if [ $size = million ]; then measuredElements=$millionElements; else measuredElements=$tenMillionElements; fi
  fi
done
((ok)) && verdict PASS || verdict FAIL "$reason"

# ---- 7: the largest cantilever that fits ---------------------------------------------------------
begin 7 "largest cantilever that fits"
log="$work/7-largest.log"
seconds="$(limit 600)"
# Capped by time as well as memory: the set-up, solve and profiled iteration of step 6's
# largest CUDA run, per element, scaled to half of this step's time (the other half is margin
# for what grows faster than the element count).
cap=()
if [ -n "${measuredSeconds:-}" ] && ((seconds > 0)); then
  maxElements="$(awk -v s="$seconds" -v t="$measuredSeconds" -v e="$measuredElements" \
                 'BEGIN { if (t < 0.001) t = 0.001; printf "%d", 0.5 * s * e / t }')"
  ((maxElements < 980)) && maxElements=980
  cap=(--max-elements "$maxElements")
  detail "time cap: $maxElements elements ($measuredElements elements took $measuredSeconds s in step 6; $seconds s left for this step)"
else
  detail "time cap: none (step 6 measured no CUDA run)"
fi
run "$log" "$seconds" ostrel-solve "${largest[@]}" "${cap[@]}" --voxel 0.01 --tolerance 0.01 --profile "${device[@]}"
status=$?
solverLines "$log"
if ((status == 0)); then
  iteration="$(awk -v p="$(value 'prepareSolve time' "$log" | sed 's/ s$//')" \
                   -v s="$(value 'Solve time' "$log" | sed 's/ s$//')" 'BEGIN { printf "%.3f", p + s }')"
  perElement="$(sed -n 's/.*(\([0-9.e+]*\) Byte per element).*/\1/p' "$log" | head -1)"
  elements="$(sed -n 's/^Largest cantilever that fits: .* voxels, \([0-9]*\) elements.*/\1/p' "$log")"
  detail "largest: $elements elements, $perElement bytes per element on the device, $iteration s per design iteration"
  if [ -n "${deviceBytes:-}" ] && [ -n "$perElement" ]; then
    detail "$(awk -v b="$deviceBytes" -v p="$perElement" 'BEGIN {
      printf "extrapolated: the device memory of %.1f GiB holds about %.3g elements at %s bytes per element", b / 1073741824, b / p, p }')"
  fi
  verdict PASS "$elements elements, $perElement bytes per element, $iteration s per design iteration"
else
  verdict FAIL "$(why $status "$seconds" "$log")"
fi

if ((failed)); then result=FAIL; else result=PASS; fi
echo "GPU check: $result ($passed passed, $failed failed, $skipped skipped${failedSteps:+; failed steps:$failedSteps}) in $((SECONDS - start)) s; logs in $work"
((failed == 0))

#!/usr/bin/env bash
# The GPU check without --host-only, at small sizes (--small), on the CUDA device served by the
# driver stand-in: a bundle of this build tree, then every step must pass in order, the
# device line must name the stand-in and the check must keep within its budget.
#
# Usage: gpu_check_through_standin.sh SOURCE_DIR BUILD_DIR STANDIN_DIR SCRATCH_DIR
set -uo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
(($# == 4)) || { echo "ERROR: Give SOURCE_DIR BUILD_DIR STANDIN_DIR SCRATCH_DIR" >&2; exit 2; }
source="$1"; build="$2"; standin="$3"; scratch="$4"
rm -rf "$scratch"; mkdir -p "$scratch"
"$source/scripts/gpu-bundle" --from-build "$build" "$scratch/bundle" >"$scratch/bundle.log" 2>&1 ||
  { cat "$scratch/bundle.log"; echo "FAILED: gpu-bundle"; exit 1; }
budget=420
start=$SECONDS
env -i PATH=/usr/bin:/bin TMPDIR="$scratch" LD_LIBRARY_PATH="$standin" \
  bash "$scratch/bundle/gpu-check.sh" "$scratch/bundle" --small --budget "$budget" >"$scratch/check" 2>&1
status=$?
elapsed=$((SECONDS - start))
cat "$scratch/check"
. "$source/tests/scripts/gpu_check_verdicts.sh"
[ "$status" = 0 ] || fail "exit status $status"
((elapsed <= budget)) || fail "took $elapsed s, more than the budget of $budget s"
expectVerdicts "$scratch/check" "3/7 coarse operators, CUDA device against the host device: PASS (" \
  "5/7 history files of 1 iteration of every example on both devices, to 1e-5: PASS (largest relative difference 0.00e+00,"
grep -qx '  Using CUDA device #0 (CUDA driver stand-in on the host CPU, not a GPU) ...' "$scratch/check" ||
  fail "the device line does not name the stand-in"
grep -qE '^  time cap: [0-9]+ elements \([0-9]+ elements took [0-9.]+ s in step 6; [0-9]+ s left for this step\)$' "$scratch/check" ||
  fail "step 7 shows no time cap"
grep -qE '^  extrapolated: the device memory of [0-9.]+ GiB holds about [0-9.e+]+ elements at [0-9.]+ bytes per element$' "$scratch/check" ||
  fail "step 7 shows no extrapolation"
grep -q ' -- small sizes$' <(head -1 "$scratch/check") || fail "the header does not say small sizes"
((failures == 0)) && echo "standin_gpu_check: every check passed ($elapsed s)"
((failures == 0))

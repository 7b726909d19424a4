# Sourced by the tests of the GPU check (tests/scripts/test_gpu_bundle.sh,
# tests/gpu/standin/gpu_check_through_standin.sh): a failure counter and the check of the seven
# step verdicts that bench/gpu-check.sh prints.
#
# fail MESSAGE: prints "FAILED: MESSAGE" and counts it in $failures.
# expectVerdicts OUTPUT STEP3 STEP5 [COUNT_PREFIX]: OUTPUT (the check's output file) holds
#   seven verdict lines "k/7 ...", in order, each beginning as expected: steps 1, 2, 4, 6 and 7
#   passed, steps 3 and 5 beginning with STEP3 and STEP5. COUNT_PREFIX leads the message of a
#   wrong number of verdicts.

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

expectVerdicts() {
  local output="$1" third="$2" fifth="$3" countPrefix="${4:-}"
  local want=("1/7 driver, toolkit and device: PASS"
              "2/7 GPU tests: PASS"
              "$third"
              "4/7 cantilever on both devices, to 1e-7: PASS ("
              "$fifth"
              "6/7 split of one design iteration: PASS"
              "7/7 largest cantilever that fits: PASS (")
  local got i
  mapfile -t got < <(grep -E '^[0-9]/7 ' "$output")
  [ "${#got[@]}" = 7 ] || fail "$countPrefix${#got[@]} verdicts"
  for i in "${!want[@]}"; do
    [[ "${got[$i]:-}" == "${want[$i]}"* ]] || fail "verdict $((i + 1)): '${got[$i]:-}', expected '${want[$i]}...'"
  done
}

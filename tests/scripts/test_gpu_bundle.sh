#!/usr/bin/env bash
# The GPU bundle end to end: scripts/gpu-bundle and bench/gpu-check.sh answer --help and refuse
# bad command lines; a bundle of this build tree holds its parts, stays under its size limit,
# starts with LD_LIBRARY_PATH holding only its own folder (every library ldd resolves lies in
# the bundle or is one of the C library's own), replaces an older bundle but no other folder,
# leaves the older bundle whole when it would be too large; the GPU check's dry run passes
# every step in order, skipping only the one with nothing to compare; and a budget below the
# steps' minimums starts nothing but the last step and ends within it.
#
# Usage: test_gpu_bundle.sh SOURCE_DIR BUILD_DIR SCRATCH_DIR HAVE_PTX(0|1)
set -uo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
(($# == 4)) || { echo "ERROR: Give the source, build and scratch folders and HAVE_PTX" >&2; exit 2; }
source="$1"; build="$2"; scratch="$3"; havePtx="$4"
rm -rf "$scratch"; mkdir -p "$scratch"
bundle="$scratch/bundle"
. "$source/tests/scripts/gpu_check_verdicts.sh"
# expect DESCRIPTION STATUS COMMAND...: runs COMMAND (output in $scratch/out), checks its status.
expect() {
  local what="$1" want="$2"; shift 2
  "$@" >"$scratch/out" 2>"$scratch/err"
  local got=$?
  [ "$got" = "$want" ] || { fail "$what: exit status $got, expected $want"; cat "$scratch/out" "$scratch/err"; }
}
firstLine() { head -1 "$1"; }

# ---- command lines ----
for help in --help -h; do
  expect "gpu-bundle $help" 0 "$source/scripts/gpu-bundle" "$help" "$scratch/not-made"
  [[ "$(firstLine "$scratch/out")" == "Usage: scripts/gpu-bundle "* ]] || fail "gpu-bundle $help: no usage"
  [ ! -e "$scratch/not-made" ] || fail "gpu-bundle $help made a bundle"
  expect "gpu-check $help" 0 "$source/bench/gpu-check.sh" "$help"
  [[ "$(firstLine "$scratch/out")" == "Usage: gpu-check.sh BUNDLE "* ]] || fail "gpu-check $help: no usage"
done
expect "gpu-bundle with an unknown option" 2 "$source/scripts/gpu-bundle" --bogus
[ "$(firstLine "$scratch/err")" = "ERROR: unknown option --bogus" ] || fail "gpu-bundle --bogus: $(firstLine "$scratch/err")"
expect "gpu-bundle with two folders" 2 "$source/scripts/gpu-bundle" a b
expect "gpu-check without a bundle" 2 "$source/bench/gpu-check.sh"
expect "gpu-check of a folder that is no bundle" 2 "$source/bench/gpu-check.sh" "$scratch"
[ "$(firstLine "$scratch/err")" = "ERROR: \"$scratch\" is not a GPU bundle (no BUNDLE.txt or env.sh); make one with scripts/gpu-bundle" ] ||
  fail "gpu-check of no bundle: $(firstLine "$scratch/err")"
expect "gpu-check with a bad budget" 2 "$source/bench/gpu-check.sh" "$scratch" --budget soon
expect "gpu-check with --host-only and --small" 2 "$source/bench/gpu-check.sh" "$scratch" --host-only --small
[ "$(firstLine "$scratch/err")" = "ERROR: --host-only and --small do not go together" ] ||
  fail "gpu-check --host-only --small: $(firstLine "$scratch/err")"
expect "gpu-bundle of a tree without the programs" 1 "$source/scripts/gpu-bundle" --from-build "$scratch" "$bundle"
[[ "$(firstLine "$scratch/err")" == "ERROR: \"$scratch/bin/ostrel-solve\" is missing: build the tree first"* ]] ||
  fail "gpu-bundle of an empty tree: $(firstLine "$scratch/err")"

# ---- the bundle ----
expect "gpu-bundle" 0 "$source/scripts/gpu-bundle" --from-build "$build" "$bundle"
size="$(sed -n "s|^Bundle: $bundle (\([0-9.]*\) MiB of at most 60 MiB)\$|\1|p" "$scratch/out")"
[ -n "$size" ] || fail "gpu-bundle printed no size: $(firstLine "$scratch/out")"
bytes="$(du -sb "$bundle" | cut -f1)"
((bytes <= 60 * 1048576)) || fail "the bundle holds $bytes bytes"
awk -v s="$size" -v b="$bytes" 'BEGIN { exit !(s - b / 1048576 < 0.06 && b / 1048576 - s < 0.06) }' ||
  fail "printed size $size MiB, the bundle holds $bytes bytes"
parts=(env.sh gpu-check.sh BUNDLE.txt bin/ostrel-solve bin/ostrel-batch bin/test_gpu bin/test_kernels
       bin/test_galerkin_cuda lib/libcholmod.so.3 lib/libstdc++.so.6 examples/cantilever/scene.txt
       examples/ring/torus.obj)
((havePtx)) && parts+=(bin/cudafemkernels.ptx)
for part in "${parts[@]}"; do [ -f "$bundle/$part" ] || fail "the bundle lacks $part"; done
ls -a "$scratch" | grep -q '^\.gpu-bundle' && fail "a staging folder was left beside the bundle"
grep -qx "version: $("$build/bin/ostrel-solve" --version | sed 's/^ostrel-solve //')" "$bundle/BUNDLE.txt" ||
  fail "BUNDLE.txt has no version line"
grep -qE '^glibc: 2\.[0-9]+$' "$bundle/BUNDLE.txt" || fail "BUNDLE.txt has no glibc line"
if ((havePtx)); then
  grep -qE '^ptx: nvcc [0-9]+\.[0-9]+ \(PTX ISA [0-9.]+, target sm_75\)$' "$bundle/BUNDLE.txt" || fail "BUNDLE.txt: $(grep ^ptx "$bundle/BUNDLE.txt")"
else
  grep -qx 'ptx: none' "$bundle/BUNDLE.txt" || fail "BUNDLE.txt: $(grep ^ptx "$bundle/BUNDLE.txt")"
fi

# ---- the bundle starts with nothing on the library path but its own folder ----
bare() { env -i PATH=/usr/bin:/bin bash -c ". '$bundle/env.sh' && $1"; }
[ "$(bare 'echo "$LD_LIBRARY_PATH"')" = "$bundle/lib" ] || fail "LD_LIBRARY_PATH: $(bare 'echo "$LD_LIBRARY_PATH"')"
[ "$(bare 'command -v ostrel-solve')" = "$bundle/bin/ostrel-solve" ] || fail "ostrel-solve is not the bundle's"
for program in "$bundle"/bin/*; do
  [ -x "$program" ] || continue
  name="$(basename "$program")"
  bare "ldd '$program'" >"$scratch/ldd" 2>&1 || fail "ldd $name failed: $(cat "$scratch/ldd")"
  while read -r line; do
    lib="${line%% *}"
    case "$lib" in linux-vdso.so.*|/lib64/ld-linux*|libc.so.*|libm.so.*|libdl.so.*|libpthread.so.*|librt.so.*) continue ;; esac
    [[ "$line" == *" => $bundle/lib/$lib "* ]] || fail "$name: $line"
  done <"$scratch/ldd"
  case "$name" in
    ostrel-*) bare "'$program' --version" >"$scratch/run" 2>&1 && [ "$(cat "$scratch/run")" = "$name $(sed -n 's/^version: //p' "$bundle/BUNDLE.txt")" ] ||
                fail "$name --version under env -i: $(cat "$scratch/run")" ;;
    test_*) bare "'$program' --gtest_list_tests" >"$scratch/run" 2>&1 || fail "$name does not start: $(tail -1 "$scratch/run")" ;;
  esac
done

# ---- replacing ----
expect "gpu-bundle over an older bundle" 0 "$source/scripts/gpu-bundle" --from-build "$build" "$bundle"
mkdir -p "$scratch/other" && echo keep >"$scratch/other/file"
expect "gpu-bundle over another folder" 1 "$source/scripts/gpu-bundle" --from-build "$build" "$scratch/other"
[ "$(firstLine "$scratch/err")" = "ERROR: \"$scratch/other\" exists and is not a bundle; choose another folder" ] ||
  fail "gpu-bundle over another folder: $(firstLine "$scratch/err")"
[ "$(ls "$scratch/other")" = file ] || fail "the other folder was changed"
before="$(stat -c %i "$bundle")"
expect "a bundle over the limit" 1 env OSTREL_BUNDLE_LIMIT_MIB=1 "$source/scripts/gpu-bundle" --from-build "$build" "$bundle"
[[ "$(firstLine "$scratch/err")" =~ ^ERROR:\ the\ bundle\ would\ hold\ [0-9.]+\ MiB,\ more\ than\ 1\ MiB$ ]] ||
  fail "over the limit: $(firstLine "$scratch/err")"
[ "$(stat -c %i "$bundle")" = "$before" ] && [ -x "$bundle/bin/ostrel-solve" ] ||
  fail "the older bundle was not left whole"
ls -a "$scratch" | grep -q '^\.gpu-bundle' && fail "a staging folder was left after the refusal"

# ---- the dry run ----
start=$SECONDS
env -i PATH=/usr/bin:/bin TMPDIR="$scratch" bash "$bundle/gpu-check.sh" "$bundle" --host-only >"$scratch/check" 2>&1
status=$?
cat "$scratch/check"
echo "(dry run: $((SECONDS - start)) s)"
[ "$status" = 0 ] || fail "the dry run: exit status $status"
expectVerdicts "$scratch/check" "3/7 coarse operators, CUDA device against the host device: SKIP (no GPU: dry run)" \
  "5/7 history files of 1 iteration of every example on both devices, to 1e-5: PASS (largest relative difference " \
  "the dry run printed "
grep -qE '^GPU check: PASS \(6 passed, 0 failed, 1 skipped\) in [0-9]+ s; logs in ' "$scratch/check" ||
  fail "the dry run's last line: $(tail -1 "$scratch/check")"
grep -c '^Split of one design iteration: \|^  Split of one design iteration: ' "$scratch/check" | grep -qx 4 ||
  fail "the dry run shows not four splits"
# The host device times its launches: the cycles and the optimizer's parts in kernel and host time.
for part in uploads assembly factorization 'cycles \(kernel\)' 'cycles \(host\)' "coarse solves" \
  copies 'energies \(kernel\)' 'sensitivities \(kernel\)' 'multiplier search \(kernel\)' \
  'multiplier search \(host\)' 'update \(kernel\)' shape files total; do
  [ "$(grep -cE "^    $part {2,}[0-9]+\.[0-9] ms\$" "$scratch/check")" = 4 ] || fail "the splits lack '$part'"
done
grep -qE '^  largest: [0-9]+ elements, [0-9.]+ bytes per element on the device, [0-9.]+ s per design iteration$' "$scratch/check" ||
  fail "the dry run shows no largest cantilever"

# ---- a budget below the steps' minimums: only the last step may start; the check ends within it ----
start=$SECONDS
env -i PATH=/usr/bin:/bin TMPDIR="$scratch" bash "$bundle/gpu-check.sh" "$bundle" --host-only --budget 30 >"$scratch/short" 2>&1
status=$?
[ "$status" = 1 ] || fail "the check with a budget of 30 s: exit status $status"
(((SECONDS - start) <= 30)) || fail "the check with a budget of 30 s took $((SECONDS - start)) s"
grep -qx '1/7 driver, toolkit and device: FAIL (a first solve: not run: nothing left of the budget of 30 s)' "$scratch/short" ||
  fail "the short budget's step 1: $(grep '^1/7' "$scratch/short")"
grep -qx '2/7 GPU tests: FAIL (not run: nothing left of the budget of 30 s)' "$scratch/short" ||
  fail "the short budget's step 2: $(grep '^2/7' "$scratch/short")"
# Steps 1 to 6 leave the last step's minimum: none of them starts; the last one may.
[ "$(grep -cE '^[1-6]/7 .*: FAIL' "$scratch/short")" = 6 ] || fail "not every step before the last failed within a budget of 30 s"

((failures == 0)) && echo "test_gpu_bundle: every check passed" || echo "test_gpu_bundle: $failures checks failed"
((failures == 0))

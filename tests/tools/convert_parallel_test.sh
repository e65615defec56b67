#!/usr/bin/env bash
# Converts a generated tree with tools/convert_parallel.sh (GNU parallel) and
# with tools/slurm_convert.sbatch run task by task as Slurm would, and checks
#   - every output against a single run of wavora on the same file, byte for
#     byte but for the DATE tag (the runs are seconds apart);
#   - that the output tree mirrors the input tree and holds nothing else (no
#     hidden input converted, no work folder or temporary file left);
#   - that a failing file is named with its reason, fails the run (exit code
#     1) and does not stop the other files;
#   - that two inputs giving one output name are refused before anything is
#     converted.
# Exit code 77 (skipped) without GNU parallel.
#
# usage: tests/tools/convert_parallel_test.sh <wavora binary>
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <wavora binary>" >&2
  exit 2
fi
wavora=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tools=$(cd "$(dirname "$0")/../../tools" && pwd)
if ! parallel --version 2>/dev/null | head -n 1 | grep -q 'GNU parallel'; then
  echo "convert_parallel: skipped: GNU parallel is not installed (Debian package parallel)"
  exit 77
fi
export WAVORA=$wavora

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
  echo "convert_parallel: $*" >&2
  failures=$((failures + 1))
}

# The tree: several formats found by -format auto, folders with blanks, a name
# beginning with '-', a hidden file and folder (skipped), a float file that is
# refused (values far beyond full scale), and a SigMF pair.
mkdir -p "in/day 1/deep" in/day2 in/.hidden
head -c 6000 /dev/urandom >in/a.cu8
head -c 8000 /dev/urandom >"in/day 1/b.cs16"
head -c 3000 /dev/urandom >"in/day 1/-dash.cs8"
perl -e 'print pack("f<*", map { (0.5 * cos($_ / 7), 0.5 * sin($_ / 7)) } 0 .. 2999)' >"in/day 1/deep/c.cf32"
perl -e 'print pack("f<*", (5000.0) x 200)' >in/day2/bad.cf32
head -c 4000 /dev/urandom >in/day2/rec.sigmf-data
printf '{"global":{"core:datatype":"ci16_le","core:sample_rate":5000000,"core:version":"1.0.0"},"captures":[{"core:sample_index":0}],"annotations":[]}' \
  >in/day2/rec.sigmf-meta
head -c 400 /dev/urandom >in/.skip.cu8
head -c 400 /dev/urandom >in/.hidden/x.cu8
good=("a.cu8" "day 1/b.cs16" "day 1/-dash.cs8" "day 1/deep/c.cf32" "day2/rec.sigmf-data")
options=(-format auto -clock 10 -comment "parallel run, one file per job" -threads 1)

output_of() {
  local rel=$1 name=${1##*/} folder=""
  [ "$name" = "$rel" ] || folder=${rel%/*}/
  printf '%s%s.wv' "$folder" "${name%%.*}"
}

# The single runs, one by one in a directory of their own.
mkdir ref
for rel in "${good[@]}"; do
  out=$work/ref/$(output_of "$rel")
  mkdir -p "$(dirname "$out")"
  (cd ref && "$wavora" "$work/in/$rel" -out "$out" -batch "${options[@]}" </dev/null >/dev/null) ||
    fail "single run of $rel failed"
done

# Same bytes but for the value of the first DATE tag.
same_output() {
  cmp -s <(perl -0777 -pe 's/\{DATE:[^}]*\}/{DATE:}/' "$1") <(perl -0777 -pe 's/\{DATE:[^}]*\}/{DATE:}/' "$2")
}
check_tree() {
  local label=$1 root=$2 rel expected actual
  for rel in "${good[@]}"; do
    if [ ! -f "$root/$(output_of "$rel")" ]; then
      fail "$label: no output for $rel"
    elif ! same_output "$work/ref/$(output_of "$rel")" "$root/$(output_of "$rel")"; then
      fail "$label: output of $rel differs from the single run"
    fi
  done
  expected=$(for rel in "${good[@]}"; do output_of "$rel"; echo; done | LC_ALL=C sort)
  actual=$(cd "$root" && find . -mindepth 1 \( -type f -o -name '.*' \) -printf '%P\n' | LC_ALL=C sort)
  [ "$actual" = "$expected" ] || fail "$label: output tree holds $(echo "$actual" | tr '\n' '|'), expected $(echo "$expected" | tr '\n' '|')"
}

# The whole tree with GNU parallel, two jobs at once.
status=0
bash "$tools/convert_parallel.sh" -j 2 -l logs in out "${options[@]}" >run.out 2>run.err || status=$?
[ $status -eq 1 ] || fail "expected exit code 1 (one file fails), got $status"
check_tree parallel out
grep -q '^failed day2/bad.cf32' run.err || fail "the failed file is not named: $(cat run.err)"
grep -q 'Numbers appear to be too large' run.err || fail "the reason is not shown: $(cat run.err)"
[ "$(tail -n 1 run.out)" = "5 converted, 1 failed" ] || fail "counts line: $(tail -n 1 run.out)"
[ "$(grep -c '^converted ' run.out)" -eq 5 ] || fail "not one line per converted file: $(cat run.out)"
[ -f "logs/day 1/deep/c.cf32.log" ] || fail "no log kept for day 1/deep/c.cf32"
[ -z "$(find . -maxdepth 1 -name '_*.dat')" ] || fail "temporary files left in the working directory"

# Only the names with one extension, and an output tree inside the input tree.
rm -rf out
bash "$tools/convert_parallel.sh" -e .cu8 in in/out "${options[@]}" >ext.out 2>&1 || fail "-e cu8 failed: $(cat ext.out)"
[ "$(cd in/out && find . -type f -printf '%P\n')" = "a.wv" ] || fail "-e cu8 converted: $(cd in/out && find . -type f)"
rm -rf in/out

# The Slurm task script, each task as the array would run it.
(cd in && find . -type f ! -name '.*' ! -path './.*' ! -name '*.sigmf-meta' -printf '%P\n' | LC_ALL=C sort) >files.txt
lines=$(wc -l <files.txt)
[ "$lines" -eq 6 ] || fail "file list has $lines lines"
slurm_failed=0
for ((task = 1; task <= lines; ++task)); do
  SLURM_ARRAY_TASK_ID=$task SLURM_CPUS_PER_TASK=1 bash "$tools/slurm_convert.sbatch" files.txt in slurm \
    "${options[@]}" >>slurm.log 2>&1 || slurm_failed=$((slurm_failed + 1))
done
[ $slurm_failed -eq 1 ] || fail "expected one failed Slurm task, got $slurm_failed: $(cat slurm.log)"
check_tree slurm slurm

# Two inputs that give one output name: refused, nothing converted.
mkdir -p twins/in
head -c 400 /dev/urandom >twins/in/burst.1.cu8
head -c 400 /dev/urandom >twins/in/burst.2.cu8
status=0
bash "$tools/convert_parallel.sh" twins/in twins/out "${options[@]}" >twins.log 2>&1 || status=$?
[ $status -eq 1 ] || fail "twin names: expected exit code 1, got $status"
grep -q 'burst.1.cu8 and burst.2.cu8 both give burst.wv' twins.log || fail "twin names not named: $(cat twins.log)"
[ -z "$(ls -A twins/out)" ] || fail "twin names: something was converted"

if [ $failures -ne 0 ]; then
  echo "convert_parallel: $failures failed" >&2
  exit 1
fi
echo "convert_parallel: ok"

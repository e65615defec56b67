#!/usr/bin/env bash
# Converts every file of a tree with GNU parallel, one wavora per file, into a
# mirrored output tree (the names directory mode gives). Each file is a job of
# its own, so the jobs spread over the cores of the machine, or over several
# machines with parallel's --sshlogin (the tree then on a shared file system).
#
# usage: tools/convert_parallel.sh [-j <jobs>] [-e <extension>] [-l <log dir>]
#                                  <input dir> <output dir> [wavora options ...]
#   -j  jobs at once (default: one per core)
#   -e  convert only names ending in .<extension>
#   -l  keep each file's console output in <log dir>/<path>.log
#   The wavora options are those of single-file mode, e.g. -format auto -clock 2.4;
#   -batch is always given. Give -threads 1 when the jobs fill the cores.
#
# Skipped as in directory mode: names beginning with '.', and the output tree
# when it lies inside the input tree. A .sigmf-meta file is converted with its
# data file, not on its own. Two inputs that would give one output name
# (burst.1.cf32 and burst.2.cf32 both give burst.wv) are refused before
# anything is converted. Two-file formats are for directory mode: here every
# file is converted on its own.
#
# Prints one line per file ("converted <path> -> <output>", or "failed <path>"
# with the program's error lines on standard error), then
# "<n> converted, <n> failed"; the exit code is 1 when any file failed.
#
# Environment: WAVORA (the program; default wavora on the PATH).
set -euo pipefail

usage() {
  echo "usage: $0 [-j <jobs>] [-e <extension>] [-l <log dir>] <input dir> <output dir> [wavora options ...]" >&2
  exit 2
}
jobs="" ext="" logs=""
while getopts "j:e:l:" flag; do
  case $flag in
  j) jobs=$OPTARG ;;
  e) ext=${OPTARG#.} ;;
  l) logs=$OPTARG ;;
  *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 2 ] || usage
in_dir=$1 out_dir=$2
shift 2

if ! parallel --version 2>/dev/null | head -n 1 | grep -q 'GNU parallel'; then
  echo "*** GNU parallel not found (Debian: apt-get install parallel)" >&2
  exit 1
fi
if [ ! -d "$in_dir" ]; then
  echo "*** Input directory $in_dir does not exist or is not a directory." >&2
  exit 1
fi
mkdir -p "$out_dir"
in_abs=$(cd "$in_dir" && pwd -P)
out_abs=$(cd "$out_dir" && pwd -P)
here=$(cd "$(dirname "$0")" && pwd)

# The files, as paths below the input root, sorted by name.
prune=(-name '.?*')
case $out_abs/ in "$in_abs"/*) [ "$out_abs" = "$in_abs" ] || prune+=(-o -path "./${out_abs#"$in_abs"/}") ;; esac
match=(-type f ! -name '*.sigmf-meta')
[ -z "$ext" ] || match+=(-name "*.$ext")
list=$(mktemp)
trap 'rm -f "$list" "$list".*' EXIT
(cd "$in_abs" && find . -mindepth 1 \( "${prune[@]}" \) -prune -o "${match[@]}" -printf '%P\0') |
  LC_ALL=C sort -z >"$list"

# One output name per input: refuse the inputs that would share one.
tr '\0' '\n' <"$list" | awk '{
    rel = $0; n = split(rel, part, "/"); stem = part[n]; sub(/\..*/, "", stem)
    out = (n > 1 ? substr(rel, 1, length(rel) - length(part[n])) : "") stem ".wv"
    if (out in first) { printf "*** %s and %s both give %s\n", first[out], rel, out; bad = 1 }
    else first[out] = rel
  } END { exit bad }' >&2 || exit 1

total=$(tr -cd '\0' <"$list" | wc -c)
if [ "$total" -eq 0 ]; then
  echo "0 converted, 0 failed (no file${ext:+ ends in .$ext})"
  exit 0
fi

status=0
WAVORA_LOG_DIR=$logs parallel --will-cite -0 -q --halt never ${jobs:+-j "$jobs"} --joblog "$list.joblog" \
  -a "$list" bash "$here/convert_one.sh" "$in_abs" "$out_abs" {} "$@" || status=$?
failed=$(awk 'NR > 1 && $7 != 0' "$list.joblog" | wc -l)
done_jobs=$(awk 'NR > 1' "$list.joblog" | wc -l)
echo "$((done_jobs - failed)) converted, $((failed + total - done_jobs)) failed"
[ "$failed" -eq 0 ] && [ "$done_jobs" -eq "$total" ] && [ $status -eq 0 ]

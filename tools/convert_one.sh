#!/usr/bin/env bash
# Converts one file of an input tree into the mirrored place of an output
# tree, as directory mode names it: <output root>/<its folder>/<name cut at
# its first .>.wv. The step that convert_parallel.sh runs once per file and
# that a Slurm task (slurm_convert.sbatch) runs for its file.
#
# usage: tools/convert_one.sh <input root> <output root> <path below the input root> [wavora options ...]
#   The options are those of single-file mode (-format, -clock, ...); -batch
#   is always given, -out is set here. On success prints
#   "converted <path> -> <output>"; on failure prints "failed <path>" and the
#   program's error lines on standard error and ends with exit code 1.
#
# Environment: WAVORA (the program; default wavora on the PATH),
# WAVORA_LOG_DIR (when set, the whole console output of each file is kept in
# <dir>/<path>.log).
#
# Each run works in a folder of its own beside its output (.wavora-work.*,
# removed afterwards), since the program keeps its temporary files in the
# working directory and runs side by side must not share them.
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 <input root> <output root> <path below the input root> [wavora options ...]" >&2
  exit 2
fi
absolute() { case $1 in /*) printf '%s' "$1" ;; *) printf '%s/%s' "$PWD" "$1" ;; esac; }
in_root=$(absolute "$1")
out_root=$(absolute "$2")
rel=${3#./}
shift 3
wavora=${WAVORA:-wavora}
case $wavora in */*) wavora=$(absolute "$wavora") ;; esac

name=${rel##*/}
folder=""
[ "$name" = "$rel" ] || folder=${rel%/*}
stem=${name%%.*}
if [ -z "$stem" ]; then
  echo "failed $rel" >&2
  echo "*** A name beginning with '.' gives no output name." >&2
  exit 1
fi
out_dir=$out_root${folder:+/$folder}
output=$out_dir/$stem.wv

log=""
if [ -n "${WAVORA_LOG_DIR:-}" ]; then
  log=$(absolute "$WAVORA_LOG_DIR")/$rel.log
  mkdir -p "${log%/*}"
fi

mkdir -p "$out_dir"
work=$(mktemp -d "$out_dir/.wavora-work.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
console=$(cd "$work" && "$wavora" "$in_root/$rel" -out "$output" -batch "$@" </dev/null 2>&1) || status=$?
[ -z "$log" ] || printf '%s\n' "$console" >"$log"
if [ $status -ne 0 ]; then
  {
    echo "failed $rel (exit code $status)"
    grep -F '***' <<<"$console" | sed 's/^/  /' || true
  } >&2
  exit 1
fi
echo "converted $rel -> $output"

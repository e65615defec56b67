#!/usr/bin/env bash
# Checks the bash completion against the program it completes:
#   - every option and format keyword that `wavora -help` lists is in the
#     completion's own lists (so an installed completion knows them even
#     before it has run the program);
#   - every option, inspect command and format keyword of those lists is one
#     the program takes (none is refused as unknown);
#   - completing at the prompt offers options, the keywords after -format, the
#     export kinds after -export, and only directories after -indir.
#
# usage: tests/tools/completion_test.sh <wavora binary>
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <wavora binary>" >&2
  exit 2
fi
wavora=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../completion/wavora.bash
source "$source_dir/completion/wavora.bash"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
  echo "completion: $*" >&2
  failures=$((failures + 1))
}
in_list() { [[ " ${2//$'\n'/ } " == *" $1 "* ]]; }

# What the help text lists, read here with a grep of its own.
help=$("$wavora" -help)
help_options=$(grep -oE '^[[:space:]]+-[-a-z0-9]+(, -[-a-z0-9]+)*' <<<"$help" | tr -d ' \t' | tr ',' '\n')
help_formats=$(sed -n '/^[[:space:]]*-format/,/^[[:space:]]*-[a-z]/p' <<<"$help" |
  sed -n 's/^[[:space:]]\{5,\}\([a-z][a-z0-9]*\)[[:space:]].*/\1/p')
[ "$(wc -w <<<"$help_options")" -ge 10 ] || fail "too few options read from -help: $help_options"
[ "$(wc -w <<<"$help_formats")" -ge 10 ] || fail "too few formats read from -help: $help_formats"
for option in $help_options; do
  in_list "$option" "$_wavora_options" || fail "-help lists $option, the completion does not"
done
for format in $help_formats; do
  in_list "$format" "$_wavora_formats" || fail "-help lists format $format, the completion does not"
done

# Each listed name is taken by the program. The refusals it would give are
# first shown to exist, so that a changed message cannot pass unnoticed.
refused() { grep -i "unknown $1" <<<"$2" | head -n 1 || true; }
[ -n "$(refused option "$("$wavora" -no-such-option 2>&1 </dev/null || true)")" ] ||
  fail "no refusal of an unknown option"
[ -n "$(refused "" "$("$wavora" /nonexistent/x -format no-such-format -clock 1 -batch 2>&1 </dev/null || true)")" ] ||
  fail "no refusal of an unknown format"
for option in $_wavora_options; do
  why=$(refused option "$("$wavora" "$option" 2>&1 </dev/null || true)")
  [ -z "$why" ] || fail "wavora refuses $option: $why"
done
why=$(refused option "$("$wavora" -info -json 2>&1 || true)")
[ -z "$why" ] || fail "wavora refuses -info -json: $why"
for command in -export -preview; do
  why=$(refused option "$("$wavora" x.wv "$command" 2>&1 || true)")
  [ -z "$why" ] || fail "wavora refuses $command: $why"
done
for format in $_wavora_formats; do
  why=$(refused "" "$("$wavora" /nonexistent/x -format "$format" -clock 1 -batch 2>&1 </dev/null || true)")
  [ -z "$why" ] || fail "wavora refuses format $format: $why"
done

# Completing as bash does at the prompt.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _wavora
  printf '%s\n' "${COMPREPLY[@]}"
}
[ "$(complete_words "$wavora" -form)" = "-format" ] || fail "-form does not complete to -format"
[ "$(complete_words "$wavora" x.cu8 -format c | tr '\n' ' ')" = "cf32 cf64 cs16 cs8 cu8 " ] ||
  fail "-format c offers: $(complete_words "$wavora" x.cu8 -format c | tr '\n' ' ')"
[ "$(complete_words "$wavora" x.wv -export "" | LC_ALL=C sort | tr '\n' ' ')" = "cf32 cs16 sigmf wav " ] ||
  fail "-export offers: $(complete_words "$wavora" x.wv -export "" | tr '\n' ' ')"
mkdir captures
: >capture.cu8
[ "$(complete_words "$wavora" -indir ca)" = "captures" ] || fail "-indir ca offers: $(complete_words "$wavora" -indir ca)"
[ "$(complete_words "$wavora" ca | LC_ALL=C sort | tr '\n' ' ')" = "capture.cu8 captures " ] ||
  fail "an input name offers: $(complete_words "$wavora" ca | tr '\n' ' ')"

if [ $failures -ne 0 ]; then
  echo "completion: $failures failed" >&2
  exit 1
fi
echo "completion: ok"

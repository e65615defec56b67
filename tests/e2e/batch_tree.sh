#!/usr/bin/env bash
# A script as a user writes it: converts several directory trees with -batch
# under `set -e`. The check around it proves that the script
#   - runs with a standard input that never delivers a byte (any question or
#     wait for Enter would hang it until the time limit),
#   - converts the trees before the failing one, and
#   - stops at the first tree whose run fails (exit code 1), so the trees
#     after it are not touched.
#
# usage: tests/e2e/batch_tree.sh <wavora binary>
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <wavora binary>" >&2
  exit 2
fi
wavora=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")

work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"

fail() {
  echo "batch_tree: $*" >&2
  exit 1
}

# Three trees of 16-bit I/Q files (any bytes are valid samples).
for tree in first second third; do
  mkdir -p "in/$tree/sub" "out/$tree"
  head -c 4000 /dev/urandom >"in/$tree/a.bin"
  head -c 4000 /dev/urandom >"in/$tree/sub/b.bin"
done
# The second tree cannot be mirrored: a file stands where its output
# subdirectory must be created.
: >"out/second/sub"

cat >convert_all.sh <<'EOF'
#!/usr/bin/env bash
set -e
for tree in first second third; do
  "$WAVORA" -indir "in/$tree" -outdir "out/$tree" -recursive -ext bin \
    -format i16le -clock 10 -batch >"$tree.log"
  echo "converted $tree"
done
EOF

# Standard input: a pipe that stays open and silent for the whole run.
mkfifo silent
exec 3<>silent

status=0
WAVORA=$wavora timeout 120 bash convert_all.sh <&3 >script.log 2>&1 || status=$?
exec 3>&-

[ "$status" -ne 124 ] || fail "the script waited for input (timed out)"
[ "$status" -eq 1 ] || fail "expected the script to stop with exit code 1, got $status"
[ "$(cat script.log)" = "converted first" ] || fail "unexpected script output: $(cat script.log)"
[ -f out/first/a.wv ] && [ -f out/first/sub/b.wv ] || fail "first tree not converted"
grep -q '\*\*\* Failed to create output directory\.' second.log || fail "no reason in second.log"
grep -q "out/second/sub: " second.log || fail "no path in second.log"
[ ! -e third.log ] || fail "the script went on after the failed tree"
[ -z "$(ls out/third)" ] || fail "third tree touched"
if grep -q '(y/n)\|Press ENTER' first.log second.log; then fail "a question or prompt was shown"; fi
echo "batch_tree: ok"

#!/usr/bin/env bash
# Layering check: src/app (entry point, command line, console dialogue,
# conversion driver, directory walk) is the top layer, and no file under src/
# outside src/app may include one of its headers. Each such include is named
# with its file and line; the check fails when there is one.
#
# usage: tools/check_layering.sh [source root]   (default: this checkout)
#
# Registered as the test "layering" of the CMake build when the tests are built.
set -euo pipefail

root=${1:-"$(dirname "$0")/.."}
if [ ! -d "$root/src/app" ]; then
  echo "*** no src/app under '$root'" >&2
  exit 1
fi
cd "$root"

# An #include of "app/...", <app/...> or a relative path into app/ such as
# "../app/..."; the directive must begin the line, so a commented-out include
# does not count.
pattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]([.][.]/)*app/'

mapfile -t sources < <(find src -type f \( -name '*.cpp' -o -name '*.h' \) \
  -not -path 'src/app/*' | LC_ALL=C sort)
if [ ${#sources[@]} -eq 0 ]; then
  echo "*** no sources found under src outside src/app" >&2
  exit 1
fi

violations=0
while IFS= read -r hit; do
  [ -n "$hit" ] || continue
  file=${hit%%:*}
  rest=${hit#*:}
  line=${rest%%:*}
  text=${rest#*:}
  text=$(printf '%s' "$text" | sed -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//')
  echo "$file:$line: includes a header of src/app: $text"
  violations=$((violations + 1))
done < <(grep -HnE "$pattern" "${sources[@]}" || true)

if [ $violations -gt 0 ]; then
  echo "*** $violations includes of src/app headers outside src/app; only src/app may include them" >&2
  exit 1
fi
echo "layering: none of the ${#sources[@]} files under src outside src/app includes a header of src/app"

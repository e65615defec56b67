#!/usr/bin/env bash
# Checks that every C++ source and header of the project is laid out as
# clang-format 14 lays it out with the .clang-format at the root; changes
# nothing. Each file that differs is named with the first lines that do.
#
# usage: tools/check_format.sh
#
# Environment: CLANG_FORMAT (default clang-format-14, else clang-format on the
# path). Another major release of clang-format lays some code out otherwise,
# so any other release is refused.
set -euo pipefail
cd "$(dirname "$0")/.."

folders=(src tests bench fuzz tools)

if [ -z "${CLANG_FORMAT:-}" ]; then
  CLANG_FORMAT=$(command -v clang-format-14 || command -v clang-format || true)
fi
if [ -z "$CLANG_FORMAT" ] || ! command -v "$CLANG_FORMAT" >/dev/null 2>&1; then
  echo "*** clang-format not found (install clang-format-14, or set CLANG_FORMAT)" >&2
  exit 1
fi
version=$("$CLANG_FORMAT" --version)
if ! [[ $version =~ version\ 14\. ]]; then
  echo "*** $CLANG_FORMAT is not clang-format 14: $version" >&2
  exit 1
fi

mapfile -t files < <(find "${folders[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) | LC_ALL=C sort)
if [ ${#files[@]} -eq 0 ]; then
  echo "*** no C++ files found under ${folders[*]}" >&2
  exit 1
fi

unformatted=()
for file in "${files[@]}"; do
  if ! "$CLANG_FORMAT" --dry-run --Werror "$file" >/dev/null 2>&1; then
    unformatted+=("$file")
    # The formatter's own report, cut to the first few places.
    "$CLANG_FORMAT" --dry-run "$file" 2>&1 | head -n 9 >&2 || true
  fi
done

if [ ${#unformatted[@]} -gt 0 ]; then
  echo "*** ${#unformatted[@]} of ${#files[@]} files differ from clang-format's layout:" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  echo "Run: $CLANG_FORMAT -i <file>" >&2
  exit 1
fi
echo "format-check: ${#files[@]} files under ${folders[*]} match clang-format 14"

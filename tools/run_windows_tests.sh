#!/usr/bin/env bash
# Runs the Windows build's tests under Wine:
#   1. every test_*.exe of the cross build (the portable suites and
#      test_windows, which starts wavora.exe itself), each with its own log;
#   2. test_windows_host of a native build, when one is given: wavora.exe under
#      Wine against the native wavora (same output bytes) and in a Wine console
#      on a pseudo-terminal (key reads).
#
# usage: tools/run_windows_tests.sh <cross build dir> [<host build dir>]
#
# Environment: WINE (the Wine loader; default wine64 or wine on the path, else
# /usr/lib/wine/wine64), WINEPREFIX (default <cross build dir>/wineprefix,
# created on first use in about half a minute), WINDOWS_TEST_FILTER (a
# GoogleTest filter added to every run, e.g. "WindowsE2E.*").
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 <cross build dir> [<host build dir>]" >&2
  exit 2
fi
cross_dir=$(cd "$1" && pwd)
host_dir=""
if [ $# -ge 2 ]; then host_dir=$(cd "$2" && pwd); fi

if [ -z "${WINE:-}" ]; then
  WINE=$(command -v wine64 || command -v wine || true)
  [ -n "$WINE" ] || WINE=/usr/lib/wine/wine64
fi
if [ ! -x "$WINE" ]; then
  echo "Wine not found (set WINE, or install wine64)" >&2
  exit 2
fi
wineserver=$(dirname "$WINE")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)

export WINEPREFIX=${WINEPREFIX:-$cross_dir/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer on prefix creation, no display needed.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY

log_dir=$cross_dir/windows-test-logs
mkdir -p "$log_dir"

# Tests that compile for Windows but whose expectations are POSIX-specific:
# POSIX working directories and absolute paths written as "/home/user/work",
# paths joined with '/', or open descriptors counted in /proc/self/fd (under
# Wine those are Wine's own descriptors, which it opens lazily). Their Windows
# counterparts are in test_windows. Test files that need POSIX calls to
# compile at all are left out of the Windows build (cmake/WindowsTests.cmake).
posix_only_filter() {
  case "$1" in
    test_app)
      echo "CommandLineScan.DirectoryOptionsOnlyInDirectoryMode:CommandLinePaths.ResolutionFollowsThePlatformRule:CommandLineLimits.OverLongValuesAreRefusedNotCut:CommandLineTable.SingleFileRows:CommandLineTable.DirectoryRowsAndNoClockForKxzetq:CommandLineTable.OutputFileRowOnlyWithOut:CommandLinePaths.OutIsResolvedAgainstTheWorkingDirectoryAndNeverCut:ConvertDirectoryWalk.OutputSubdirectoryPathOverLimitIsSkippedAndNamed:ConvertDirectoryWalk.OutputRootInsideInputTreeIsNeverDescended"
      ;;
    test_reliability) echo "FaultInjection.*" ;;
    *) echo "" ;;
  esac
}

gtest_filter() {
  local positive=${WINDOWS_TEST_FILTER:-*}
  local negative
  negative=$(posix_only_filter "$1")
  if [ -n "$negative" ]; then echo "$positive-$negative"; else echo "$positive"; fi
}

# The first start of a prefix sets it up; its background services must not
# inherit this script's output (a pipe would then never close), so Wine is
# started once here with every stream redirected, and the server is kept
# alive between the test programs.
echo "Wine: $("$WINE" --version 2>/dev/null || echo unknown), prefix $WINEPREFIX"
start=$(date +%s)
mkdir -p "$WINEPREFIX"
# A server that stays 60 s after the last program (nothing happens when one
# runs already), then the first program, which sets the prefix up.
if [ -n "$wineserver" ]; then "$wineserver" -p60 </dev/null >/dev/null 2>&1 || true; fi
"$WINE" cmd /c exit </dev/null >"$log_dir/wine-start.log" 2>&1 || {
  echo "Wine does not start; see $log_dir/wine-start.log" >&2
  exit 1
}
echo "Wine ready after $(($(date +%s) - start)) s"

failed=()
shopt -s nullglob
tests=("$cross_dir"/test_*.exe)
if [ ${#tests[@]} -eq 0 ]; then
  echo "no test programs in $cross_dir (run make windows first)" >&2
  exit 1
fi
for exe in "${tests[@]}"; do
  name=$(basename "$exe" .exe)
  filter=$(gtest_filter "$name")
  log=$log_dir/$name.log
  t0=$(date +%s)
  status=0
  (cd "$cross_dir" && "$WINE" "$exe" --gtest_filter="$filter" </dev/null >"$log" 2>&1) || status=$?
  summary=$(grep -E '^\[  PASSED  \]|^\[  FAILED  \] [0-9]+ test|^\[  SKIPPED \] [0-9]+ test' "$log" | tr '\n' ' ')
  echo "$name: ${summary:-no summary} ($(($(date +%s) - t0)) s)"
  if [ $status -ne 0 ]; then
    failed+=("$name")
    grep -E '^\[  FAILED  \] [A-Za-z]' "$log" | sort -u || true
  fi
done

if [ -n "$host_dir" ]; then
  host_test=$host_dir/test_windows_host
  if [ ! -x "$host_test" ]; then
    echo "no $host_test" >&2
    failed+=(test_windows_host)
  else
    log=$log_dir/test_windows_host.log
    t0=$(date +%s)
    status=0
    "$host_test" --gtest_filter="${WINDOWS_TEST_FILTER:-*}" </dev/null >"$log" 2>&1 || status=$?
    summary=$(grep -E '^\[  PASSED  \]|^\[  FAILED  \] [0-9]+ test' "$log" | tr '\n' ' ')
    echo "test_windows_host: ${summary:-no summary} ($(($(date +%s) - t0)) s)"
    if [ $status -ne 0 ]; then
      failed+=(test_windows_host)
      grep -E '^\[  FAILED  \] [A-Za-z]' "$log" | sort -u || true
    fi
  fi
fi

echo "logs: $log_dir"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "all Windows tests passed"

#!/usr/bin/env bash
# Installs what this machine lacks to build, test, cross-build or fuzz Wavora.
# Each need is checked by what it provides (a command, a header), so a machine
# that has everything costs a few file tests and no package manager call.
# Missing packages are installed with apt-get (as root, or through sudo), in
# one call after one `apt-get update`. On a system without apt-get, or as a
# user without root and without sudo, it installs nothing and ends with one
# line naming the packages to install there, exit code 1.
#
# usage: tools/setup.sh [--dry-run] [<group> ...]
#   groups: build (default: compiler, CMake, headers), test (build plus
#           GoogleTest and the tools the tests and the scale-out script run),
#           format (clang-format 14), bench (Google Benchmark), windows (mingw-w64 cross build, Wine,
#           GoogleTest sources), fuzz (clang with libFuzzer), all (every group)
#   --dry-run  names the missing packages and the command that would install
#              them, changes nothing (exit 0)
#
# Environment: WAVORA_NO_SETUP=1 checks nothing and installs nothing (for a
# machine whose packages are looked after otherwise).
set -euo pipefail

[ "${WAVORA_NO_SETUP:-0}" = 1 ] && exit 0

dry_run=0
groups=()
for arg in "$@"; do
  case $arg in
  --dry-run) dry_run=1 ;;
  build | test | format | bench | windows | fuzz) groups+=("$arg") ;;
  all) groups+=(build test format bench windows fuzz) ;;
  -h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
    ;;
  *)
    echo "*** setup.sh: unknown argument '$arg' (groups: build test format bench windows fuzz all; --dry-run)" >&2
    exit 2
    ;;
  esac
done
[ ${#groups[@]} -gt 0 ] || groups=(build)

have() { command -v "$1" >/dev/null 2>&1; }
# A header in the system include folders of the build machine.
header() { [ -f "/usr/include/$1" ] || [ -f "/usr/local/include/$1" ]; }
# The Python 3 that the distribution's python3-* packages install into.
python_modules() {
  local python=/usr/bin/python3
  [ -x "$python" ] || python=$(command -v python3 || true)
  [ -n "$python" ] || return 1
  "$python" -c 'import importlib.util as u, sys
sys.exit(0 if all(u.find_spec(m) for m in sys.argv[1:]) else 1)' "$@" 2>/dev/null
}
# GNU parallel, not the program of the same name from moreutils.
gnu_parallel() { have parallel && parallel --version 2>/dev/null | head -n 1 | grep -q 'GNU parallel'; }
wine_loader() { have wine64 || [ -x /usr/lib/wine/wine64 ]; }
fuzzer_runtime() {
  have clang++ && compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null
}

# Each need: the Debian package that provides it, the check, and the names of
# the same package on other systems (dnf, pacman, brew; "-" where there is
# none). One table, so that every group and every message use the same names.
#   group   debian-package        check                                     dnf                 pacman            brew
needs=(
  "build   cmake                 have_cmake                                cmake               cmake             cmake"
  "build   g++                   have_gxx                                  gcc-c++             gcc               gcc"
  "build   make                  have_make                                 make                make              make"
  "build   nlohmann-json3-dev    header_json                               json-devel          nlohmann-json     nlohmann-json"
  "build   zlib1g-dev            header_zlib                               zlib-devel          zlib              zlib"
  "test    libgtest-dev          header_gtest                              gtest-devel         gtest             googletest"
  "test    sox                   have_sox                                  sox                 sox               sox"
  "test    librsvg2-bin          have_rsvg                                 librsvg2-tools      librsvg           librsvg"
  "test    python3-numpy         python_numpy                              python3-numpy       python-numpy      numpy"
  "test    python3-scipy         python_scipy                              python3-scipy       python-scipy      scipy"
  "test    parallel              gnu_parallel                              parallel            parallel          parallel"
  "format  clang-format-14       have_clang_format                         clang-tools-extra   clang             llvm@14"
  "bench   libbenchmark-dev      header_benchmark                          google-benchmark-devel benchmark     google-benchmark"
  "windows g++-mingw-w64-x86-64  have_mingw                                mingw64-gcc-c++     mingw-w64-gcc     mingw-w64"
  "windows wine64                wine_loader                               wine                wine              -"
  "windows googletest            gtest_sources                             -                   -                 -"
  "windows libz-mingw-w64-dev    mingw_zlib                                mingw64-zlib        mingw-w64-zlib    -"
  "fuzz    clang                 have_clangxx                              clang               clang             llvm"
  "fuzz    libclang-rt-14-dev    fuzzer_runtime                            compiler-rt         compiler-rt       -"
)
have_cmake() { have cmake; }
have_gxx() { have g++; }
have_make() { have make; }
header_json() { header nlohmann/json.hpp; }
header_zlib() { header zlib.h; }
header_gtest() { header gtest/gtest.h; }
header_benchmark() { header benchmark/benchmark.h; }
have_sox() { have sox; }
have_rsvg() { have rsvg-convert; }
python_numpy() { python_modules numpy; }
python_scipy() { python_modules scipy; }
have_clang_format() { have clang-format-14; }
have_mingw() { have x86_64-w64-mingw32-g++-posix; }
gtest_sources() { [ -f /usr/src/googletest/googletest/CMakeLists.txt ]; }
mingw_zlib() { [ -f /usr/x86_64-w64-mingw32/include/zlib.h ]; }
have_clangxx() { have clang++; }

wanted() {
  local g
  for g in "${groups[@]}"; do [ "$g" = "$1" ] && return 0; done
  # Every group but format builds the program, so it needs the build group.
  [ "$1" = build ] && for g in "${groups[@]}"; do [ "$g" != format ] && return 0; done
  return 1
}

missing=()   # Debian names
other_dnf=() other_pacman=() other_brew=()
for line in "${needs[@]}"; do
  read -r group package check dnf pacman brew <<<"$line"
  wanted "$group" || continue
  "$check" && continue
  missing+=("$package")
  [ "$dnf" = - ] || other_dnf+=("$dnf")
  [ "$pacman" = - ] || other_pacman+=("$pacman")
  [ "$brew" = - ] || other_brew+=("$brew")
done
[ ${#missing[@]} -gt 0 ] || exit 0

# The one line for a system this script does not install on.
tell() {
  local how
  if have apt-get; then
    how="apt-get install ${missing[*]} (as root)"
  elif have dnf; then
    how="sudo dnf install ${other_dnf[*]}"
  elif have pacman; then
    how="sudo pacman -S --needed ${other_pacman[*]}"
  elif have brew; then
    how="brew install ${other_brew[*]}"
  else
    how="the packages that provide (Debian names) ${missing[*]}"
  fi
  echo "*** Wavora needs packages this machine lacks; $1 install them with: $how" >&2
}

if ! have apt-get; then
  [ $dry_run -eq 1 ] && { tell "would not install (no apt-get):"; exit 0; }
  tell "on this system,"
  exit 1
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if have sudo; then
    sudo=sudo
  else
    [ $dry_run -eq 1 ] && { tell "would not install (no root, no sudo):"; exit 0; }
    tell "as neither root nor sudo is at hand,"
    exit 1
  fi
fi

if [ $dry_run -eq 1 ]; then
  echo "setup.sh: would run: ${sudo:+$sudo }apt-get update; ${sudo:+$sudo }apt-get install -y --no-install-recommends ${missing[*]}"
  exit 0
fi

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get update -q </dev/null ||
  ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null; then
  tell "apt-get failed;"
  exit 1
fi

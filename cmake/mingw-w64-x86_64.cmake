# Cross-compiles Wavora for 64-bit Windows with the mingw-w64 toolchain
# (Debian: g++-mingw-w64-x86-64). Every executable is linked statically, so
# that wavora.exe runs on a machine with nothing installed; the test programs
# run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(WAVORA_MINGW_TRIPLET x86_64-w64-mingw32)

# The posix thread flavour gives GoogleTest and the standard library a
# complete std::thread/std::mutex; winpthreads is linked statically as well.
find_program(CMAKE_CXX_COMPILER NAMES ${WAVORA_MINGW_TRIPLET}-g++-posix ${WAVORA_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${WAVORA_MINGW_TRIPLET}-gcc-posix ${WAVORA_MINGW_TRIPLET}-gcc
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${WAVORA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${WAVORA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No runtime DLL may be needed next to the .exe: libstdc++, libgcc and
# winpthreads all go into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Runs cross-built programs (test discovery, ctest) under Wine when it is there.
find_program(WAVORA_CROSS_EMULATOR NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(WAVORA_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WAVORA_CROSS_EMULATOR})
endif()

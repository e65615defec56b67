# Test pieces that belong to the Windows build, included from the test section
# of the top-level CMakeLists.txt before the subsystem suites are made.
#
# Windows build (WIN32):
#   - tests/windows/support/*.cpp join the shared test helpers (starting a
#     program, Windows paths);
#   - tests/windows/*.cpp form the suite test_windows: the Win32 platform layer
#     and end-to-end runs of wavora.exe with Windows paths, attribute bits and
#     console keys;
#   - WAVORA_POSIX_ONLY_TESTS names the test files that need POSIX facilities
#     (FIFOs, symbolic links, pseudo-terminals, fork, /dev/full) or POSIX path strings;
#     their Windows counterparts are in test_windows.
#
# Host build with WAVORA_WINDOWS_EXE set to a cross-built wavora.exe:
#   - tests/windows/host/*.cpp form test_windows_host, run on the build machine:
#     wavora.exe under Wine against the native wavora (same output bytes), and
#     the console key reads of wavora.exe in a Wine console on a pseudo-terminal.

set(WAVORA_WINDOWS_EXE "" CACHE FILEPATH
    "Cross-built wavora.exe that the host test program test_windows_host runs under Wine")
set(WAVORA_WINE "" CACHE FILEPATH "Wine loader for test_windows_host (default: found on the path)")

if(WIN32)
  file(GLOB WAVORA_TEST_SUPPORT_WIN32 CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/windows/support/*.cpp)
  list(APPEND WAVORA_TEST_SUPPORT ${WAVORA_TEST_SUPPORT_WIN32})

  # BinaryFormatsE2ETest joins paths with '/'; test_windows runs the same
  # table with backslashes.
  set(WAVORA_POSIX_ONLY_TESTS
      "/tests/platform/PlatformTest\\.cpp$|/tests/platform/PlatformSafetyTest\\.cpp$|/tests/e2e/DirectoryE2ETest\\.cpp$|/tests/e2e/BinaryFormatsE2ETest\\.cpp$|/tests/e2e/InterruptE2ETest\\.cpp$|/tests/e2e/ScriptingE2ETest\\.cpp$|/tests/e2e/InputSafetyE2ETest\\.cpp$|/tests/waveform/OutputFileTest\\.cpp$|/tests/e2e/OutputSafetyE2ETest\\.cpp$|/tests/e2e/PeopleAndScriptsE2ETest\\.cpp$|/tests/e2e/MatE2ETest\\.cpp$|/tests/app/StandardStreamsTest\\.cpp$")

  file(GLOB WAVORA_WINDOWS_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/windows/*.cpp)
  if(WAVORA_WINDOWS_TEST_SOURCES)
    add_executable(test_windows ${WAVORA_WINDOWS_TEST_SOURCES})
    target_link_libraries(test_windows PRIVATE wavora_test_support GTest::gtest_main)
    wavora_test_warnings(test_windows)
    # The end-to-end cases start wavora.exe from the test program's folder.
    add_dependencies(test_windows wavora)
    if(CMAKE_CROSSCOMPILING)
      add_test(NAME test_windows COMMAND test_windows)
    else()
      gtest_discover_tests(test_windows DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
    endif()
  endif()
elseif(WAVORA_WINDOWS_EXE)
  if(NOT WAVORA_WINE)
    find_program(WAVORA_WINE_FOUND NAMES wine64 wine PATHS /usr/lib/wine)
    set(WAVORA_WINE_PROGRAM ${WAVORA_WINE_FOUND})
  else()
    set(WAVORA_WINE_PROGRAM ${WAVORA_WINE})
  endif()
  if(NOT WAVORA_WINE_PROGRAM)
    message(FATAL_ERROR "WAVORA_WINDOWS_EXE is set but no Wine loader was found; set WAVORA_WINE")
  endif()
  file(GLOB WAVORA_WINDOWS_HOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/windows/host/*.cpp)
  add_executable(test_windows_host ${WAVORA_WINDOWS_HOST_SOURCES})
  target_link_libraries(test_windows_host PRIVATE wavora_test_support GTest::gtest_main)
  wavora_test_warnings(test_windows_host)
  target_compile_definitions(test_windows_host PRIVATE
    WAVORA_WINDOWS_EXE="${WAVORA_WINDOWS_EXE}"
    WAVORA_WINE="${WAVORA_WINE_PROGRAM}")
endif()

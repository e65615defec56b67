# GoogleTest for a cross build: the host's installed GoogleTest is built for
# the host, so the test programs of the target build their own copy from the
# sources (Debian: googletest, /usr/src/googletest). Provides the same
# GTest::gtest and GTest::gtest_main targets that find_package(GTest) does.

set(WAVORA_GOOGLETEST_SOURCE_DIR /usr/src/googletest/googletest
    CACHE PATH "GoogleTest sources for cross builds (the googletest folder of the distribution)")

if(NOT EXISTS ${WAVORA_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${WAVORA_GOOGLETEST_SOURCE_DIR}; "
                      "install the googletest package or set WAVORA_GOOGLETEST_SOURCE_DIR")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)

# GoogleTest's own targets are built without the project's warning flags.
add_subdirectory(${WAVORA_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

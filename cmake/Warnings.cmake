# Warning flags of the project's own targets; GoogleTest and Benchmark keep
# their own. Included once from the top-level CMakeLists.txt.
#
#   wavora_product_warnings(<target>)  the program, its core library, the
#                                      benchmarks and the tools
#   wavora_test_warnings(<target>)     test programs, test helpers and fuzz
#                                      harnesses
#
# Both give -Wall -Wextra (/W4 on MSVC). With WAVORA_WERROR=ON every warning
# of these targets is an error (-Werror, /WX); `make test`, `make windows`,
# `make fuzz`, `make bench`, `make coverage` and CI build that way. A plain
# CMake build leaves it off, so that a compiler release with new diagnostics
# does not stop a user's build.

option(WAVORA_WERROR "Treat warnings of the project's own targets as errors" OFF)

if(MSVC)
  set(WAVORA_WARNINGS /W4)
  if(WAVORA_WERROR)
    list(APPEND WAVORA_WARNINGS /WX)
  endif()
else()
  set(WAVORA_WARNINGS -Wall -Wextra)
  if(WAVORA_WERROR)
    list(APPEND WAVORA_WARNINGS -Werror)
  endif()
endif()

# Test code only: from release 12 on, g++ at -O2 and above reports std::string
# concatenation and short vector loops that the tests write everywhere as
# overlapping or overflowing copies inside the standard library (GCC bugs
# 105651 and 106199: the warning follows a path the optimiser made up, on which
# a length is negative). These two diagnostics are switched off for test
# targets of optimised and unoptimised builds alike, so that a test file is
# never clean in one build type and broken in another. The product targets
# keep every warning: a real overlapping or overflowing copy there must still
# be reported.
set(WAVORA_TEST_WARNINGS ${WAVORA_WARNINGS})
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
  list(APPEND WAVORA_TEST_WARNINGS -Wno-restrict -Wno-stringop-overflow)
endif()

function(wavora_product_warnings target)
  target_compile_options(${target} PRIVATE ${WAVORA_WARNINGS})
endfunction()

function(wavora_test_warnings target)
  target_compile_options(${target} PRIVATE ${WAVORA_TEST_WARNINGS})
endfunction()

# TREETALLY_BUILD_FUZZERS=ON (clang only) instruments the core for coverage and builds the
# libFuzzer harnesses of tests/fuzz; tests/fuzz/run.sh configures and runs them.
option(TREETALLY_BUILD_FUZZERS "Build the libFuzzer harnesses (needs clang)" OFF)

if(TREETALLY_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TREETALLY_BUILD_FUZZERS needs clang (libFuzzer)")
  endif()
  target_compile_options(treetally_core PRIVATE -fsanitize=fuzzer-no-link)
  add_subdirectory(tests/fuzz)
endif()

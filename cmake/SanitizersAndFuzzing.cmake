# Instrumented builds. Both options apply to every target defined after this file is included,
# the library and the tests alike, so the whole suite runs instrumented.
option(IQENV_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(IQENV_FUZZ "Build the libFuzzer targets in fuzz/ (clang only; implies the sanitisers)" OFF)

if(IQENV_SANITIZE OR IQENV_FUZZ)
  # Any finding aborts the run; float-cast-overflow is not part of GCC's "undefined" group.
  set(IQENV_SANITIZER_FLAGS -fsanitize=address,undefined,float-cast-overflow
                            -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${IQENV_SANITIZER_FLAGS})
  add_link_options(${IQENV_SANITIZER_FLAGS})
endif()

if(IQENV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "IQENV_FUZZ needs clang (libFuzzer), e.g. CXX=clang++-14")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

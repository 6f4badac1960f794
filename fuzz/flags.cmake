# The fuzz configuration (-DKIV_FUZZ=ON): the whole tree is built with clang's coverage
# instrumentation for libFuzzer and with the sanitizers of KIV_SANITIZE, so that the libraries the
# targets call report what they reach and what they break. Included by the top-level
# CMakeLists.txt before any target is defined; scripts/fuzz uses it in its own build directory.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "KIV_FUZZ needs clang: configure with -DCMAKE_C_COMPILER=clang "
                      "-DCMAKE_CXX_COMPILER=clang++")
endif()
# The sanitizers' own flags and the parts they leave out (the module, the benchmarks, the
# end-to-end tests) come from KIV_SANITIZE.
set(KIV_SANITIZE ON)
add_compile_options(-fsanitize=fuzzer-no-link)

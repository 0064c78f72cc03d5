# Compiler settings for a fuzzing build (BREVOK_FUZZ), included before any
# target is defined so that the agent's own code carries libFuzzer's
# coverage instrumentation too.
#
#   cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-16 \
#         -DBREVOK_FUZZ=ON -DBREVOK_SANITIZE=ON -DBREVOK_TESTS=OFF
#
# scripts/fuzz.sh does this and runs a target.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "BREVOK_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++-16")
endif()
if(NOT BREVOK_SANITIZE)
  message(FATAL_ERROR "BREVOK_FUZZ runs the targets under the sanitizers: add -DBREVOK_SANITIZE=ON")
endif()
# libstdc++ 12 declares std::expected only for a compiler that announces
# C++20 concepts in full (__cpp_concepts >= 202002L). Clang 14 cannot
# compile it at all: it lacks conditionally trivial special member
# functions, which <expected> relies on. Clang 16 has them but still
# announces 201907L, so the announcement is corrected here.
if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 16)
  message(FATAL_ERROR "BREVOK_FUZZ needs clang 16 or later for std::expected with libstdc++ (found ${CMAKE_CXX_COMPILER_VERSION})")
endif()
add_compile_options(-Wno-macro-redefined -D__cpp_concepts=202002L)
add_compile_options(-fsanitize=fuzzer-no-link)

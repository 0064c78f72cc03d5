# A fuzzing build (BREVOK_FUZZ), set before any target so that the agent is instrumented too. libstdc++ 12
# declares std::expected only if __cpp_concepts >= 202002L, which clang 16 supports but does not announce.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR CMAKE_CXX_COMPILER_VERSION VERSION_LESS 16 OR NOT BREVOK_SANITIZE)
  message(FATAL_ERROR "BREVOK_FUZZ needs clang 16 or later (-DCMAKE_CXX_COMPILER=clang++-16) and -DBREVOK_SANITIZE=ON")
endif()
add_compile_options(-Wno-macro-redefined -D__cpp_concepts=202002L -fsanitize=fuzzer-no-link)

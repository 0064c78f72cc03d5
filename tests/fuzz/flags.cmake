# A fuzzing build (BREVOK_FUZZ: clang 16 or later, with BREVOK_SANITIZE; scripts/fuzz.sh sets it up), set before
# any target so that the agent is instrumented too. libstdc++ 12 declares std::expected only where
# __cpp_concepts >= 202002L, which clang 16 supports but does not announce.
add_compile_options(-Wno-macro-redefined -D__cpp_concepts=202002L -fsanitize=fuzzer-no-link)

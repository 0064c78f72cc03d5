#!/usr/bin/env bash
# Builds everything from nothing and runs every test. Stages can be named to
# run only those: scripts/test.sh native
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
jobs=$(nproc)

stage_native() {
  need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
  cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release -DBREVOK_WERROR=ON >/dev/null
  cmake --build build/native -j"$jobs"
  ctest --test-dir build/native -j"$jobs" --output-on-failure
}

# The whole suite again, built with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer; the black-box tests then run the sanitized
# agent. Any report ends the process with status 86 and fails the test.
# Warnings are the native stage's business: the instrumentation makes GCC
# warn about code it cannot see through (maybe-uninitialized inside the
# standard library), so they do not stop this build.
stage_sanitize() {
  need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
  cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVOK_WERROR=OFF -DBREVOK_SANITIZE=ON >/dev/null
  cmake --build build/sanitize -j"$jobs"
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:exitcode=86 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=86 \
    ctest --test-dir build/sanitize -j"$jobs" --output-on-failure
}

# Each libFuzzer target for a minute under the sanitizers (scripts/fuzz.sh
# runs them for longer).
stage_fuzz() {
  BREVOK_FUZZ_BUILD=build/fuzz scripts/fuzz.sh decode_request 60
  BREVOK_FUZZ_BUILD=build/fuzz scripts/fuzz.sh request_cycle 60
}

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(native sanitize fuzz)
for s in "${stages[@]}"; do
  echo "=== stage: $s"
  "stage_$s"
done
echo "=== all stages passed: ${stages[*]}"

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs one of them:
#
#   scripts/fuzz.sh decode_request        # until stopped (Ctrl-C) or a fault
#   scripts/fuzz.sh decode_request 600    # for 600 seconds
#   scripts/fuzz.sh decode_request 60 -jobs=2 -workers=2   # more libFuzzer flags
#
# The seeds of tests/fuzz/corpus/<target> are read, never written; what the
# fuzzer learns is kept in build/fuzz/corpus/<target> and reused by the next
# run. A fault leaves its input in build/fuzz/artifacts/ and ends with
# status 1. Environment: CXX (default clang++-16), BREVOK_FUZZ_BUILD (the
# build directory, default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

target=${1:?usage: scripts/fuzz.sh decode_request [seconds] [libFuzzer flags...]}
seconds=${2:-0}
shift $(( $# >= 2 ? 2 : 1 ))
case "$target" in
  decode_request) ;;
  *) echo "unknown fuzz target: $target (decode_request)" >&2; exit 2 ;;
esac

need_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
build=${BREVOK_FUZZ_BUILD:-build/fuzz}
cxx=${CXX:-clang++-16}
mkdir -p "$build"
if ! { [ -f "$build/CMakeCache.txt" ] ||
       cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DBREVOK_FUZZ=ON -DBREVOK_SANITIZE=ON -DBREVOK_TESTS=OFF; } >"$build/build.log" 2>&1 ||
   ! cmake --build "$build" -j"$(nproc)" --target "fuzz_$target" >>"$build/build.log" 2>&1; then
  cat "$build/build.log" >&2
  exit 1
fi

corpus="$build/corpus/$target"
artifacts="$build/artifacts/"
mkdir -p "$corpus" "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
for s in llvm-symbolizer-16 llvm-symbolizer; do
  if command -v "$s" >/dev/null; then export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$(command -v "$s")}; break; fi
done
log="$build/fuzz_$target.log"
set +e
"$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts" \
  "$@" "$corpus" "tests/fuzz/corpus/$target" 2>&1 | tee "$log" | grep -E '^(#[0-9]+ +(INITED|DONE|pulse)|==|SUMMARY|invariant|stat::)' 
status=${PIPESTATUS[0]}
set -e
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
echo "fuzz_$target: ${runs:-?} executions in ${seconds}s, exit status $status (log: $log)"
exit "$status"

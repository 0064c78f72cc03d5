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

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(native)
for s in "${stages[@]}"; do
  echo "=== stage: $s"
  "stage_$s"
done
echo "=== all stages passed: ${stages[*]}"

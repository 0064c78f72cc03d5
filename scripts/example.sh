#!/usr/bin/env bash
# Builds the agent and runs it on one example request, printing the response.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBREVOK_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target brevok-file-agent >/dev/null
example=$(mktemp -d)
trap 'rm -rf "$example"' EXIT
printf 'first line\nsecond line\nthird line\n' >"$example/notes.txt"
request="{\"protocol\":1,\"operation\":\"readPreview\",\"path\":\"$example/notes.txt\",\"limit\":2}"
echo "request:  $request"
printf 'response: '
printf '%s' "$request" | build/release/brevok-file-agent --stdio

#!/usr/bin/env bash
# Builds everything from nothing and runs every test. Stages can be named to
# run only those: scripts/test.sh native
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
jobs=$(nproc)

# The project's version, which CMake writes into each build directory it
# configures ($1).
project_version() { cat "$1/version.txt"; }

# Runs the black-box tests (native programs, built in the native build) with
# BREVOK_AGENT, the command that starts the agent under test, set to $1;
# further arguments go to ctest.
blackbox_against() {
  local native=${BREVOK_NATIVE_BUILD:-build/native} agent=$1
  shift
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DBREVOK_WERROR=ON >/dev/null
  cmake --build "$native" -j"$jobs" --target blackbox_tests
  BREVOK_AGENT="$agent" ctest --test-dir "$native" -L blackbox -j"$jobs" --output-on-failure "$@"
}

# need_packages, with service starts refused while packages are installed:
# installing openssh-server would otherwise start the system's sshd where an
# init system runs. The policy-rc.d is ours only where none was there, and
# it goes again afterwards.
need_packages_no_services() {
  local policy=/usr/sbin/policy-rc.d
  if [ -e "$policy" ] || [ "$(id -u)" -ne 0 ]; then
    need_packages "$@"
    return
  fi
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  need_packages "$@"
  rm -f "$policy"
  trap - EXIT
}

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
  # Each test program runs as one process: a sanitized process started per
  # test case would cost more than the tests themselves. Both run at once.
  export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:exitcode=86
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=86
  build/sanitize/tests/unit_tests --gtest_brief=1 &
  local unit=$!
  build/sanitize/tests/blackbox_tests --gtest_brief=1
  wait "$unit"
  unset ASAN_OPTIONS UBSAN_OPTIONS
}

# The decoder's libFuzzer target for a minute under the sanitizers
# (scripts/fuzz.sh runs it for longer).
stage_fuzz() {
  BREVOK_FUZZ_BUILD=build/fuzz scripts/fuzz.sh decode_request 60
}

# The Windows build: cross-compiled with mingw-w64, its unit tests run under
# Wine by ctest, then the black-box tests (native programs, from the native
# build) against the .exe under Wine. The Wine server is stopped at the end,
# also on failure.
stage_windows() {
  local build=${BREVOK_WINDOWS_BUILD:-build/mingw}
  need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  mkdir -p "$build"
  export WINEPREFIX="$PWD/$build/wine-prefix" WINEDEBUG=-all
  # A fresh prefix, set up before anything runs in it, so that Wine's
  # first-run output never reaches a test; then one server for all the
  # short runs that follow. Its background services start with the first
  # program and keep that program's standard error open, so a first
  # program with nothing to hold starts them: otherwise a test's pipe
  # would never close.
  rm -rf "$WINEPREFIX"
  wineboot -i
  wineserver -w
  trap 'wineserver -k || true' EXIT
  wineserver -p
  wine cmd /c exit </dev/null >/dev/null 2>&1

  cmake -S . -B "$build" --toolchain cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DBREVOK_WERROR=ON >/dev/null
  cmake --build "$build" -j"$jobs"
  ctest --test-dir "$build" --output-on-failure

  # The black-box tests run the released .exe (scripts/dist.sh, which also
  # refuses it without its long-path manifest among its resources).
  scripts/dist.sh windows-x86_64 >/dev/null
  # A Wine process that cannot start (seen once in hundreds, on a loaded
  # machine, as status 1 with no output at all) is not the agent's fault:
  # a failed case gets one more run.
  BREVOK_AGENT_PLATFORM=windows \
    blackbox_against "wine $PWD/dist/windows-x86_64/brevok-file-agent.exe" --repeat until-pass:2

  wineserver -k
  trap - EXIT
}

# The release binaries (scripts/dist.sh): each one linked statically (no
# interpreter, no needed library; for the .exe only system DLLs, checked by
# the script itself), its sum right, and each answering --version, the
# aarch64 one under QEMU. The Linux x86-64 one then passes the black-box
# tests; the others do in their own stages.
stage_dist() {
  need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${DIST_PACKAGES[@]}" \
    "${AARCH64_TEST_PACKAGES[@]}" "${WINDOWS_BUILD_PACKAGES[@]}"
  rm -rf dist
  scripts/dist.sh
  (cd dist && sha256sum --quiet -c SHA256SUMS)
  local bin version
  version=$(project_version build/dist/linux-x86_64)
  for bin in dist/linux-x86_64/brevok-file-agent dist/linux-aarch64/brevok-file-agent; do
    if ldd "$bin" >/dev/null 2>&1; then
      echo "$bin: ldd finds it dynamic" >&2
      return 1
    fi
  done
  [ "$(dist/linux-x86_64/brevok-file-agent --version)" = "brevok-file-agent $version" ]
  [ "$(qemu-aarch64-static dist/linux-aarch64/brevok-file-agent --version)" = "brevok-file-agent $version" ]

  blackbox_against "$PWD/dist/linux-x86_64/brevok-file-agent"
}

# Linux aarch64: the unit tests, cross-compiled, under user-mode QEMU
# (called by name: binfmt_misc need not be mounted), then the black-box
# tests (native programs) against the released aarch64 agent under QEMU.
stage_aarch64() {
  local build=${BREVOK_AARCH64_BUILD:-build/aarch64}
  need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${AARCH64_TEST_PACKAGES[@]}"
  cmake -S . -B "$build" --toolchain cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
    -DBREVOK_WERROR=ON >/dev/null
  cmake --build "$build" -j"$jobs"
  ctest --test-dir "$build" --output-on-failure

  scripts/dist.sh linux-aarch64 >/dev/null
  blackbox_against "qemu-aarch64-static $PWD/dist/linux-aarch64/brevok-file-agent"
}

# The example client refuses, before sending anything, what the agent could
# not decode or what is no request: with a message and status 64 (2 is for
# a response with ok false), never with a traceback.
check_client_refusals() {
  local scratch args status=0
  scratch=$(mktemp -d)
  printf 'caf\351\n' >"$scratch/latin1"
  for args in "read x --offset -1" "read x --limit -2" "write x --from-file $scratch/latin1" "frobnicate x"; do
    # shellcheck disable=SC2086
    examples/brevok-client.py $args >/dev/null 2>"$scratch/err" || status=$?
    if [ "$status" != 64 ] || [ ! -s "$scratch/err" ] || grep -q Traceback "$scratch/err"; then
      printf 'brevok-client.py %s: status %s, standard error:\n%s\n' "$args" "$status" "$(cat "$scratch/err")" >&2
      rm -rf "$scratch"
      return 1
    fi
    status=0
  done
  rm -rf "$scratch"
}

# The agent as a controlling tool meets it: the released Linux x86-64
# binary through a real ssh server, directly and through the example
# client. tests/e2e/ssh_test.sh creates a throwaway account, starts its own
# sshd on 127.0.0.1 on a free port (never the system's, never port 22) and
# stops it by its pid.
stage_ssh() {
  need_packages_no_services "${BUILD_PACKAGES[@]}" "${SSH_PACKAGES[@]}"
  check_client_refusals
  scripts/dist.sh linux-x86_64 >/dev/null
  BREVOK_SSH_REQUIRED=1 tests/e2e/ssh_test.sh dist/linux-x86_64/brevok-file-agent
}

# The packages as users get them, those scripts/dist.sh makes: the .tar.gz
# of Linux x86-64 and the .zip of Windows hold the agent (stripped), its
# manual page and LICENSE and nothing else, the page renders without a
# warning, lintian finds no error or warning in the .deb, and the .deb
# installs with dpkg, answers --version from /usr/bin and is removed again,
# also on failure, so the machine is left as it was.
stage_package() {
  need_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
  scripts/dist.sh linux-x86_64 windows-x86_64 >/dev/null
  local lint page=build/dist/linux-x86_64/brevok-file-agent.1 version
  lint=$(groff -man -ww -z -t "$page" 2>&1)
  if [ -n "$lint" ]; then
    printf '%s does not render cleanly:\n%s\n' "$page" "$lint" >&2
    return 1
  fi
  version=$(project_version build/dist/linux-x86_64)

  local top=brevok-file-agent-$version-linux-x86_64 wtop=brevok-file-agent-$version-windows-x86_64
  local listed
  listed=$(tar -tzf "dist/packages/$top.tar.gz" | grep -v '/$' | sort)
  if [ "$listed" != "$(printf '%s\n' "$top/LICENSE" "$top/bin/brevok-file-agent" "$top/share/man/man1/brevok-file-agent.1")" ]; then
    printf 'unexpected contents of %s:\n%s\n' "$top.tar.gz" "$listed" >&2
    return 1
  fi
  local unpacked kind
  unpacked=$(mktemp -d)
  tar -xzf "dist/packages/$top.tar.gz" -C "$unpacked"
  kind=$(file -b "$unpacked/$top/bin/brevok-file-agent")
  rm -rf "$unpacked"
  if [[ $kind != *", stripped"* ]]; then
    echo "the packaged agent is not stripped: $kind" >&2
    return 1
  fi
  listed=$(python3 -c '
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
print("\n".join(sorted(n for n in names if not n.endswith("/"))))
' "dist/packages/$wtop.zip")
  if [ "$listed" != "$(printf '%s\n' "$wtop/LICENSE" "$wtop/bin/brevok-file-agent.exe" "$wtop/share/man/man1/brevok-file-agent.1")" ]; then
    printf 'unexpected contents of %s:\n%s\n' "$wtop.zip" "$listed" >&2
    return 1
  fi

  local deb=dist/packages/brevok-file-agent_${version}_amd64.deb answer
  dpkg -c "$deb"
  # Info tags may stay (e.g. spelling guesses at pieces of the agent's own
  # messages, which the compiler stores overlapped).
  lintian --fail-on error,warning "$deb"
  trap 'dpkg -r brevok-file-agent >/dev/null || true' EXIT
  dpkg -i "$deb"
  answer=$(/usr/bin/brevok-file-agent --version)
  if [ "$answer" != "brevok-file-agent $version" ]; then
    echo "the installed agent answers --version with: $answer" >&2
    return 1
  fi
  # Where dpkg is told to leave manual pages out (as in some container
  # images) there is no page to find.
  if command -v man >/dev/null && [ -e /usr/share/man/man1/brevok-file-agent.1.gz ]; then
    man -w brevok-file-agent
  fi
  dpkg -r brevok-file-agent
  trap - EXIT
}

stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then
  stages=(native sanitize fuzz dist windows aarch64 ssh package)
  # Every stage's packages in one installation rather than one per stage.
  need_packages_no_services "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" \
    "${WINDOWS_PACKAGES[@]}" "${AARCH64_TEST_PACKAGES[@]}" "${DIST_PACKAGES[@]}" "${SSH_PACKAGES[@]}" \
    "${PACKAGE_PACKAGES[@]}"
fi
for s in "${stages[@]}"; do
  echo "=== stage: $s"
  started=$SECONDS
  "stage_$s"
  echo "=== stage $s passed in $((SECONDS - started)) s"
done
echo "=== all stages passed: ${stages[*]}"

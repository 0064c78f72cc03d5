# Sourced by the other scripts: installs the Debian packages that are
# missing, and nothing when all are present.
need_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}" >&2
  $sudo apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

BUILD_PACKAGES=(cmake make g++ libboost-json1.81-dev)
TEST_PACKAGES=(libgtest-dev acl)
# Only for bench/run (Google Benchmark for the micro-benchmarks).
BENCH_PACKAGES=(libbenchmark-dev)
# Only for the fuzz targets (scripts/fuzz.sh): libFuzzer needs clang, and
# std::expected from libstdc++ needs clang 16 or later.
FUZZ_PACKAGES=(clang-16 libclang-rt-16-dev)
# Only for the Windows build (scripts/test.sh windows): the cross compiler
# with threads, Wine to run its programs, and GoogleTest's sources to build
# it for Windows.
WINDOWS_BUILD_PACKAGES=(g++-mingw-w64-x86-64-posix)
WINDOWS_PACKAGES=("${WINDOWS_BUILD_PACKAGES[@]}" wine wine64 googletest)
# Only for the Linux aarch64 build: the cross compiler, and for its tests
# user-mode QEMU (called by name, so binfmt_misc is not needed) and
# GoogleTest's sources.
AARCH64_PACKAGES=(g++-aarch64-linux-gnu)
AARCH64_TEST_PACKAGES=("${AARCH64_PACKAGES[@]}" qemu-user-static googletest)
# Only for scripts/dist.sh: its checks that a binary is static.
DIST_PACKAGES=(file)
# Only for the end-to-end test through ssh (scripts/test.sh ssh): the test
# starts its own sshd and connects with the client, from Python.
SSH_PACKAGES=(openssh-server openssh-client python3)
# Only for the package stage (scripts/test.sh package): groff to check the
# manual page, man to find it once installed, file to see that the packaged
# agent is stripped, python3 to list the Windows .zip, lintian to check the
# .deb against Debian's policy.
PACKAGE_PACKAGES=(groff-base man-db file python3 lintian)

#!/usr/bin/env bash
# Builds the release binaries into dist/, one directory per target, their
# packages into dist/packages (a .deb and a .tar.gz per Linux target, a .zip
# for Windows), and the SHA-256 sums of all of them into dist/SHA256SUMS:
#
#   scripts/dist.sh                  # linux-x86_64, linux-aarch64, windows-x86_64
#   scripts/dist.sh linux-aarch64    # only the named targets
#
# Each binary is linked statically and stripped, so that it runs on a host
# with nothing installed; the script refuses a binary that is not. Builds
# are kept in build/dist/<target> and reused by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

all=(linux-x86_64 linux-aarch64 windows-x86_64)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

packages=("${BUILD_PACKAGES[@]}" "${DIST_PACKAGES[@]}")
for t in "${targets[@]}"; do
  case "$t" in
    linux-x86_64) ;;
    linux-aarch64) packages+=("${AARCH64_PACKAGES[@]}") ;;
    windows-x86_64) packages+=("${WINDOWS_BUILD_PACKAGES[@]}") ;;
    *) echo "unknown target: $t (one of: ${all[*]})" >&2; exit 2 ;;
  esac
done
need_packages "${packages[@]}"

# The file name and the checks of each target.
binary_name() { [ "$1" = windows-x86_64 ] && echo brevok-file-agent.exe || echo brevok-file-agent; }
toolchain() {
  case "$1" in
    linux-aarch64) echo --toolchain=cmake/aarch64-linux-gnu.cmake ;;
    windows-x86_64) echo --toolchain=cmake/mingw-w64-x86_64.cmake ;;
  esac
}

# A Linux binary must have no interpreter and no needed library; a Windows
# one may import only DLLs that every Windows has, and must carry its
# manifest (long paths) among its resources.
check_static() {
  local target=$1 bin=$2 objdump=$3
  case "$target" in
    linux-*)
      if "$objdump" -p "$bin" | grep -q NEEDED || "$objdump" -s -j .interp "$bin" >/dev/null 2>&1; then
        echo "$bin: dynamically linked" >&2
        return 1
      fi
      file -b "$bin" | grep -q 'statically linked' || { echo "$bin: not static: $(file -b "$bin")" >&2; return 1; }
      ;;
    windows-*)
      local dll
      for dll in $("$objdump" -p "$bin" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
        case "${dll,,}" in
          kernel32.dll|msvcrt.dll|ntdll.dll|advapi32.dll|crypt32.dll) ;;
          *) echo "$bin: imports $dll" >&2; return 1 ;;
        esac
      done
      "${objdump%objdump}objcopy" -O binary --only-section=.rsrc "$bin" "$bin.rsrc"
      if ! grep -aq '<longPathAware [^>]*>true</longPathAware>' "$bin.rsrc"; then
        rm -f "$bin.rsrc"
        echo "$bin: no manifest declaring longPathAware among its resources" >&2
        return 1
      fi
      rm -f "$bin.rsrc"
      ;;
  esac
}

# Stripping a Windows binary writes the time into its header, unless told
# which time to write: the last commit's, so that the same sources give the
# same sums.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH

mkdir -p dist
for t in "${targets[@]}"; do
  build=build/dist/$t
  # shellcheck disable=SC2046
  cmake -S . -B "$build" $(toolchain "$t") -DCMAKE_BUILD_TYPE=Release -DBREVOK_WERROR=ON \
    -DBREVOK_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target brevok-file-agent
  name=$(binary_name "$t")
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$build/CMakeCache.txt")
  objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")
  mkdir -p "dist/$t"
  "$strip" -o "dist/$t/$name" "$build/$name"
  check_static "$t" "dist/$t/$name" "$objdump"
  # cpack installs the agent (stripped), its manual page and its license
  # into each of the target's packages (cmake/packaging.cmake).
  rm -rf "$build/packages"
  (cd "$build" && cpack --config CPackConfig.cmake -B "$PWD/packages" >/dev/null)
  mkdir -p dist/packages
  find "$build/packages" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.tar.gz' -o -name '*.zip' \) \
    -exec cp {} dist/packages/ \;
done

# The sums of everything in dist/, also what earlier runs built.
(cd dist && find . -mindepth 2 -maxdepth 2 -type f ! -name SHA256SUMS | sed 's|^\./||' | sort |
  xargs sha256sum >SHA256SUMS)
echo "dist/:"
(cd dist && while read -r sum path; do
  printf '  %-52s %8d bytes  sha256 %s\n' "$path" "$(stat -c %s "$path")" "$sum"
done <SHA256SUMS)

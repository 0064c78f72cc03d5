#!/usr/bin/env bash
# Measures the suite: plants each fault of scripts/faults.tsv, one at a
# time, in a scratch copy of the work tree, builds it and runs the stage of
# the suite that the list names for it. A fault the suite does not fail on
# is missed. Ends with "N caught, M missed"; the status is 1 when a fault
# was missed or could not be planted (its text not found exactly once, or
# the planted code not building), which means the list is stale.
#
#   scripts/plant-faults.sh            every fault
#   scripts/plant-faults.sh 3 17 sync  those numbered 3 and 17, and those
#                                      whose line mentions "sync"
#
# The list, one fault a line, fields separated by tabs:
#   stage   native: the unit and black-box tests of a native build;
#           windows: the unit tests of the Windows build under Wine and the
#           black-box tests against its agent under Wine
#   file    the source file, from the project root
#   from    the exact text replaced (it must occur exactly once)
#   to      what replaces it
#   rule    the rule the fault breaks
# Lines starting with # and empty lines are skipped.
#
# Not a CI stage: it takes minutes. Run it after every change to a rule.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
jobs=$(nproc)
scratch=${BREVOK_PLANT_DIR:-/tmp/brevok-plant}

mapfile -t lines < <(grep -v -e '^#' -e '^[[:space:]]*$' scripts/faults.tsv)
selected=()
for i in "${!lines[@]}"; do
  n=$((i + 1))
  if [ $# -eq 0 ]; then selected+=("$n"); continue; fi
  for want in "$@"; do
    if [ "$want" = "$n" ] || { [[ ! $want =~ ^[0-9]+$ ]] && [[ ${lines[$i]} == *"$want"* ]]; }; then
      selected+=("$n")
      break
    fi
  done
done
[ ${#selected[@]} -gt 0 ] || { echo "no fault selected" >&2; exit 2; }

need_windows=0
for n in "${selected[@]}"; do
  [[ ${lines[$((n - 1))]} == windows$'\t'* ]] && need_windows=1
done
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" python3
[ $need_windows = 0 ] || need_packages "${WINDOWS_PACKAGES[@]}"

# The work tree as it is now, committed or not, copied afresh.
# Times are kept, so that the build there only redoes what changed. A run
# that was stopped while a fault stood may have left objects built from it,
# newer than the sources: those builds start afresh.
[ -e "$scratch/planting" ] && rm -rf "$scratch/native" "$scratch/mingw"
rm -rf "$scratch/src"
mkdir -p "$scratch/src"
git ls-files -z -co --exclude-standard | xargs -0 cp -p --parents -t "$scratch/src"
cd "$scratch/src"

configure() {
  cmake -S . -B "$scratch/native" -DCMAKE_BUILD_TYPE=Release -DBREVOK_WERROR=OFF >/dev/null
  if [ $need_windows = 1 ]; then
    cmake -S . -B "$scratch/mingw" --toolchain cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
      -DBREVOK_WERROR=OFF >/dev/null
    export WINEPREFIX="$scratch/wine-prefix" WINEDEBUG=-all
    if [ ! -d "$WINEPREFIX" ]; then wineboot -i >/dev/null 2>&1; wineserver -w; fi
    wineserver -p
    trap 'wineserver -k 2>/dev/null || true' EXIT
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  fi
}

build() {  # stage
  cmake --build "$scratch/native" -j"$jobs" >"$scratch/build.log" 2>&1 || return 1
  if [ "$1" = windows ]; then cmake --build "$scratch/mingw" -j"$jobs" >>"$scratch/build.log" 2>&1 || return 1; fi
}

suite() {  # stage; 0 when every test passes
  if [ "$1" = native ]; then
    ctest --test-dir "$scratch/native" -j"$jobs" --timeout 120 >"$scratch/test.log" 2>&1
  else
    ctest --test-dir "$scratch/mingw" --timeout 300 >"$scratch/test.log" 2>&1 &&
      BREVOK_AGENT="wine $scratch/mingw/brevok-file-agent.exe" BREVOK_AGENT_PLATFORM=windows \
        ctest --test-dir "$scratch/native" -L blackbox -j"$jobs" --timeout 120 >>"$scratch/test.log" 2>&1
  fi
}

# A source file as it was, with its time, and the objects built from it,
# newer than it but touched so that whatever links them is linked again. A
# header is put back as a new file instead: every object that includes it
# must be built again.
restore() {
  if [[ $1 != *.cpp ]]; then
    cp "$root/$1" "$1"
    return
  fi
  cp -p "$root/$1" "$1"
  (cd "$scratch/objects" && find . -type f -exec cp -p {} "$scratch/{}" \; -exec touch "$scratch/{}" \;)
}

configure
stages=(native)
[ $need_windows = 1 ] && stages+=(windows)
for stage in "${stages[@]}"; do
  if ! build "$stage" || ! suite "$stage"; then
    echo "the $stage suite fails without any fault planted; see $scratch/build.log and $scratch/test.log" >&2
    exit 1
  fi
done

caught=0 missed=0 stale=0
touch "$scratch/planting"
for n in "${selected[@]}"; do
  # Split by hand: read would merge the two tabs around an empty field.
  rest=${lines[$((n - 1))]}
  stage=${rest%%$'\t'*} rest=${rest#*$'\t'}
  file=${rest%%$'\t'*} rest=${rest#*$'\t'}
  from=${rest%%$'\t'*} rest=${rest#*$'\t'}
  to=${rest%%$'\t'*} rule=${rest#*$'\t'}
  # The objects built from the file as it is, kept aside: putting them back
  # afterwards spares compiling the unchanged file again.
  rm -rf "$scratch/objects" && mkdir -p "$scratch/objects"
  (cd "$scratch" && find native mingw -path "*/$file.o*" -print0 2>/dev/null | xargs -0 -r cp -p --parents -t objects) || true
  cp -p "$root/$file" "$file"
  if ! python3 - "$file" "$from" "$to" <<'EOF'; then
import sys
path, old, new = sys.argv[1:]
text = open(path, encoding="utf-8").read()
if text.count(old) != 1:
    sys.exit(1)
open(path, "w", encoding="utf-8").write(text.replace(old, new))
EOF
    printf '%3d STALE   %s: text not found exactly once: %s\n' "$n" "$file" "$from"
    stale=$((stale + 1))
    continue
  fi
  if ! build "$stage"; then
    printf '%3d BROKEN  %s: does not build: %s\n' "$n" "$file" "$rule"
    restore "$file"
    stale=$((stale + 1))
    continue
  fi
  if suite "$stage"; then
    printf '%3d MISSED  %-8s %s: %s\n' "$n" "$stage" "$file" "$rule"
    missed=$((missed + 1))
  else
    printf '%3d caught  %-8s %s: %s\n' "$n" "$stage" "$file" "$rule"
    caught=$((caught + 1))
  fi
  restore "$file"
done
rm -f "$scratch/planting"

echo "$caught caught, $missed missed"
[ $stale = 0 ] || echo "$stale could not be planted: the list is stale" >&2
[ $missed = 0 ] && [ $stale = 0 ]

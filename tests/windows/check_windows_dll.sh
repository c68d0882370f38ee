#!/usr/bin/env bash
# Cross-builds the Windows DLL with MinGW-w64, checks that it exports exactly
# the eight functions and needs no runtime DLL beyond Windows' own, then runs
# under wine the force tests (every kernel against the reference, bit for
# bit) and the golden program, whose bits and text must equal the Linux
# build's. Exits 77 (skipped) only when the tools are missing.
# With the Linux stellix program given as well, the Windows one must write the
# same run file as it.
# Usage: check_windows_dll.sh <source dir> <cross build dir> <linux golden> <work dir> [<linux stellix>]
set -euo pipefail
src=$(realpath -m "$1") build=$(realpath -m "$2") golden=$(realpath -m "$3") work=$(realpath -m "$4")
program=${5:+$(realpath -m "$5")}

missing=()
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump wine; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "SKIPPED: the Windows check needs ${missing[*]}; scripts/install-deps installs them"
  exit 77
fi

cmake -S "$src/tests/windows" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  --toolchain "$src/cmake/mingw-w64-x86_64.cmake" -DSTELLIX_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build" -j2 >/dev/null
shopt -s nullglob
dlls=("$build"/bin/*stellix*.dll)
[ ${#dlls[@]} -eq 1 ] || { echo "expected one stellix DLL in $build/bin, found: ${dlls[*]}"; exit 1; }
dll=${dlls[0]}
echo "built $(basename "$dll")"

# The export table: exactly the eight names, nothing else.
listing=$(x86_64-w64-mingw32-objdump -p "$dll")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$listing" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\([^[:space:]]*\).*/\1/p' | sort)
expected=$(printf '%s\n' getAccelerationVectorArray getInverseDistanceCubedMatrix invsqrt \
  printBodies printSquareMatrix printVector recordBodies simulate)
if [ "$exports" != "$expected" ]; then
  echo "the DLL's export table differs"
  diff <(echo "$expected") <(echo "$exports") || true
  exit 1
fi
echo "export table: exactly the eight functions"

# Only Windows' own DLLs: the C++ runtime is linked in.
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$listing" | tr 'A-Z' 'a-z' | sort -u)
for name in $imports; do
  case $name in
    kernel32.dll | msvcrt.dll | api-ms-win-*.dll | ucrtbase.dll) ;;
    *) echo "the DLL needs $name, which Windows does not ship"; exit 1 ;;
  esac
done
echo "imports: $(echo $imports)"

rm -rf "$work"
mkdir -p "$work/linux" "$work/windows"
(cd "$work/linux" && "$golden" . >stdout.txt)

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
# Leave no wine process behind: wait for this prefix's server to go idle and exit.
trap 'wineserver -w 2>/dev/null || true' EXIT
if [ ! -d "$WINEPREFIX" ]; then
  echo "creating the wine prefix (once per build directory)"
  wineboot --init >/dev/null 2>&1 || wine wineboot --init >/dev/null 2>&1 || true
fi
(cd "$build/bin" && wine ./forces_test.exe --gtest_brief=1 >"$work/forces_test.txt" 2>&1) || {
  echo "the force tests failed under wine:"; cat "$work/forces_test.txt"; exit 1
}
echo "wine: $(grep -h 'tests from .* ran' "$work/forces_test.txt"), $(grep -h PASSED "$work/forces_test.txt")"
rm "$work/forces_test.txt"
cp "$dll" "$build/bin/golden.exe" "$work/windows/"
(cd "$work/windows" && wine ./golden.exe . >stdout.txt 2>wine-stderr.txt) || {
  echo "golden.exe failed under wine:"; cat "$work/windows/wine-stderr.txt"; exit 1
}
rm -f "$work/windows/golden.exe" "$work/windows/$(basename "$dll")" "$work/windows/wine-stderr.txt"

# The same bits and the same text; every newline went through a text-mode
# stream, which on Windows writes CR LF.
status=0
files=$(cd "$work/linux" && ls)
[ "$files" = "$(cd "$work/windows" && ls)" ] || { echo "different files written"; status=1; }
for f in $files; do
  if ! cmp -s <(sed 's/$/\r/' "$work/linux/$f") "$work/windows/$f"; then
    echo "$f differs between Linux and Windows (first lines of the difference):"
    diff <(cat "$work/linux/$f") <(sed 's/\r$//' "$work/windows/$f") | head -20 || true
    status=1
  fi
done
if [ -n "$program" ]; then
  # The stellix program as a Windows user runs it: a body file, a few options, the run file.
  options=(--steps 300 --dt 7200 --interval 7 --record --svg orbits.svg "$src/examples/sun_earth_moon.txt")
  mkdir -p "$work/program-linux" "$work/program-windows"
  (cd "$work/program-linux" && "$program" "${options[@]}" >/dev/null)
  cp "$dll" "$build/bin/stellix.exe" "$work/program-windows/"
  (cd "$work/program-windows" && wine ./stellix.exe "${options[@]/#$src/Z:$src}" >summary.txt 2>&1) || {
    echo "stellix.exe failed under wine:"; cat "$work/program-windows/summary.txt"; exit 1
  }
  if [ -s "$work/program-windows/orbits.svg" ] &&
    cmp -s <(sed 's/$/\r/' "$work/program-linux/output.csv") "$work/program-windows/output.csv"; then
    echo "wine: the stellix program wrote the same run file as on Linux ($(wc -l <"$work/program-linux/output.csv") lines) and its picture"
  else
    echo "the Windows stellix program's output.csv or orbits.svg differs from Linux's:"
    cat "$work/program-windows/summary.txt"
    status=1
  fi
fi
if [ $status -eq 0 ]; then
  echo "wine: $(echo $files | wc -w) records identical to Linux's ($(wc -l <"$work/linux/stdout.txt") lines of bits and text)"
fi
exit $status

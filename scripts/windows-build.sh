#!/bin/sh
# Keeps the Windows build honest: cross-compiles the core and korvalen-cli with
# MinGW-w64 into build-mingw/bin/korvalen-cli.exe, then checks that the result
# is a 64-bit Windows program that needs no DLL of the compiler beside it.
# The GUI, the tests, the benchmarks, the fuzz targets and the virtual device
# (a pseudo-terminal) are not built for Windows.
# Usage: scripts/windows-build.sh [build-folder]   (default build-mingw)
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh g++-mingw-w64-x86-64

build=${1:-build-mingw}
jobs=${JOBS:-2}
prefix=x86_64-w64-mingw32
generator=""
command -v ninja >/dev/null 2>&1 && generator="-G Ninja"

# shellcheck disable=SC2086
cmake -S . -B "$build" $generator \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$jobs" --target korvalen_core korvalen-cli

exe="$build/bin/korvalen-cli.exe"
header=$("$prefix-objdump" -f "$exe")
case "$header" in
*pei-x86-64*) ;;
*)
  echo "windows-build: $exe is not a 64-bit Windows program:" >&2
  echo "$header" >&2
  exit 1
  ;;
esac

# Linked statically: only DLLs that every Windows has may be imported.
dlls=$("$prefix-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
for dll in $dlls; do
  case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
  kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | \
    shell32.dll | winmm.dll | ws2_32.dll | ucrtbase.dll | api-ms-win-*) ;;
  *)
    echo "windows-build: $exe needs $dll, which a Windows machine does not have" >&2
    exit 1
    ;;
  esac
done
echo "windows-build: $exe, imports only: $dlls"

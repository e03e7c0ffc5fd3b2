#!/bin/sh
# The Windows build: cross-compiles the desktop program korvalen.exe and
# korvalen-cli.exe with MinGW-w64, checks that each is a 64-bit Windows
# program that imports system DLLs only (nothing of the compiler beside it),
# and packs them as the installer korvalen-setup.exe (NSIS) and a portable
# zip of the same folder, in <build-folder>/dist. The Qt program, the tests,
# the benchmarks, the fuzz targets and the virtual device (a pseudo-terminal)
# are not built for Windows.
# Usage: scripts/windows-build.sh [build-folder]   (default build-mingw)
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh g++-mingw-w64-x86-64 nsis zip

build=${1:-build-mingw}
jobs=${JOBS:-2}
prefix=x86_64-w64-mingw32
generator=""
command -v ninja >/dev/null 2>&1 && generator="-G Ninja"
launcher=""
if command -v ccache >/dev/null 2>&1; then
  launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
  # Paths below the checkout count as relative: another clone hits the cache.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
fi

# shellcheck disable=SC2086
cmake -S . -B "$build" $generator $launcher \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$jobs" --target korvalen-cli korvalen korvalen-shots

for exe in "$build/bin/korvalen-cli.exe" "$build/bin/korvalen.exe"; do
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
done

# The installed folder, as the installer lays it out and as the zip holds it.
version=$(sed -n 's/^project(Korvalen VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
dist="$build/dist"
rm -rf "$dist"
mkdir -p "$dist/Korvalen"
cp "$build/bin/korvalen.exe" "$build/bin/korvalen-cli.exe" "$dist/Korvalen/"
(cd "$dist" && zip -q -r "korvalen-$version-windows-x64.zip" Korvalen)
makensis -V2 -DBINDIR="$(cd "$dist/Korvalen" && pwd)" \
  -DOUTFILE="$(cd "$dist" && pwd)/korvalen-setup.exe" -DVERSION="$version" \
  -DICON="$PWD/src/win32/korvalen.ico" packaging/windows/korvalen.nsi
echo "windows-build: $dist/korvalen-setup.exe and $dist/korvalen-$version-windows-x64.zip"

#!/bin/sh
# The house style, as CI checks it: every C++ file formatted as
# .clang-format says (clang-format --dry-run -Werror), and the naming scheme of
# .clang-tidy on every source the build compiles (its compile_commands.json):
# the system's names verbatim, private and protected fields F + PascalCase,
# locals and parameters camelCase, constants kName.
#
#   scripts/check-style.sh BUILD_DIR [MINGW_BUILD_DIR]
#
# With the Windows build's folder too, its Win32 sources are checked as that
# build compiles them (clang-tidy parses MinGW's headers with its target).
# The fuzz targets are formatted-checked only: they build with clang alone.
set -eu
build=${1:?usage: scripts/check-style.sh BUILD_DIR [MINGW_BUILD_DIR]}
mingw=${2:-}
cd "$(dirname "$0")/.."
"$(dirname "$0")/deps.sh" clang-format clang-tidy
[ -f "$build/compile_commands.json" ] ||
  { echo "check-style: no $build/compile_commands.json: build first" >&2; exit 1; }

echo "== clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

echo "== clang-tidy (naming)"
top=$(pwd)
# Headers are checked where a source of ours includes them; generated files
# (Qt's moc output in the build folder) are not ours.
run-clang-tidy -p "$build" -j 2 -quiet \
  -header-filter="^$top/(src|tests|bench|tools)/" \
  "^$top/(src|tests|bench|tools)/" >"$build/check-style.log" 2>&1 || true
if [ -n "$mingw" ] && [ -f "$mingw/compile_commands.json" ]; then
  gcc=$(sed -n 's/.*"command": "\([^ ]*mingw32-g++[^ ]*\).*/\1/p' "$mingw/compile_commands.json" |
    head -n 1)
  includes=$(echo | "$gcc" -E -x c++ - -v 2>&1 |
    sed -n '/#include <...> search starts here/,/End of search list/p' | grep '^ .*c++')
  set --
  for dir in $includes; do set -- "$@" "--extra-arg=-isystem$dir"; done
  grep -o '"file": "[^"]*\(Win32\|win32/\)[^"]*\.cpp' "$mingw/compile_commands.json" |
    sed 's/"file": "//' | sort -u | while read -r file; do
    clang-tidy -p "$mingw" --extra-arg=--target=x86_64-w64-mingw32 "$@" \
      -header-filter="^$top/src/(win32/|.*Win32)" "$file" 2>&1 || true
  done >>"$build/check-style.log"
fi
if grep -q "error: " "$build/check-style.log"; then
  sed 's/\x1b\[[0-9;]*m//g' "$build/check-style.log" | grep -E "error: " | sort -u >&2
  echo "check-style: names that break the scheme (see .clang-tidy)" >&2
  exit 1
fi
echo "check-style: formatting and naming as the house style says"

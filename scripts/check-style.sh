#!/bin/sh
# The house style, as CI checks it: every C++ file formatted as
# .clang-format says (clang-format --dry-run -Werror), and the naming scheme of
# .clang-tidy on every source the build compiles (its compile_commands.json):
# the system's names verbatim, private and protected fields F + PascalCase,
# locals and parameters camelCase, constants kName.
#
#   scripts/check-style.sh BUILD_DIR
#
# The fuzz targets are formatted-checked only: they build with clang alone.
set -eu
build=${1:?usage: scripts/check-style.sh BUILD_DIR}
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
if grep -q "error: " "$build/check-style.log"; then
  sed 's/\x1b\[[0-9;]*m//g' "$build/check-style.log" | grep -E "error: " | sort -u >&2
  echo "check-style: names that break the scheme (see .clang-tidy)" >&2
  exit 1
fi
echo "check-style: formatting and naming as the house style says"

#!/bin/sh
# Renders the program's windows to PNG for the documentation: the main window,
# the progress window in the middle of a load, the port dialog and the
# password dialog. Needs korvalen-shots (built with the GUI) and the DejaVu
# fonts (fonts-dejavu-core), which carry Cyrillic.
# Usage: scripts/screenshots.sh [BUILD_BIN_DIR [OUT_DIR]]
set -eu
bin=${1:-build/bin}
out=${2:-docs}

if [ ! -x "$bin/korvalen-shots" ]; then
  echo "screenshots: $bin/korvalen-shots is missing (build with KORVALEN_GUI=ON)" >&2
  exit 1
fi
if ! fc-list 2>/dev/null | grep -qi "DejaVu Sans"; then
  echo "screenshots: the DejaVu fonts are missing (apt-get install fonts-dejavu-core)" >&2
  exit 1
fi

mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$bin/korvalen-shots" "$out"
for name in main-window progress port-dialog password-dialog; do
  [ -s "$out/$name.png" ] || { echo "screenshots: $out/$name.png was not written" >&2; exit 1; }
  echo "$out/$name.png"
done

#!/bin/sh
# Installs the Debian packages that building and testing Korvalen needs.
# As root it runs apt-get; otherwise it prints the exact command and fails.
# Usage: scripts/deps.sh [extra-package ...]
set -eu

packages="build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev
libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev fonts-dejavu-core fontconfig libxcb1-dev
libpq-dev postgresql-15 $*"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
else
  echo "These Debian packages are missing. Install them with:" >&2
  echo "  sudo apt-get install -y$missing" >&2
  exit 1
fi

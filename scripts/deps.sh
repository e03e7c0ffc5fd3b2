#!/bin/sh
# Installs the Debian packages that building and testing Korvalen needs.
# As root it runs apt-get; otherwise it prints the exact command and fails.
# Usage: scripts/deps.sh [extra-package ...]
# (postgresql-15, which the tests need, comes without a cluster of the
# machine's own.)
set -eu

packages="build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev
libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev fonts-dejavu-core fontconfig libxcb1-dev
libpq-dev $*"

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
  case " $missing " in
  *" postgresql-15 "*)
    # The tests start servers of their own: the package's binaries are what
    # they need, not the machine-wide cluster (and service) that it would
    # otherwise make and start.
    apt-get install -y -qq --no-install-recommends postgresql-common
    dropin=/etc/postgresql-common/createcluster.d/korvalen-no-main-cluster.conf
    mkdir -p "$(dirname "$dropin")"
    echo "create_main_cluster = false" >"$dropin"
    trap 'rm -f "$dropin"' EXIT
    ;;
  esac
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
else
  echo "These Debian packages are missing. Install them with:" >&2
  echo "  sudo apt-get install -y$missing" >&2
  exit 1
fi

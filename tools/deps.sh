#!/bin/sh
# Installs what building, running and testing the program need, on Debian 12,
# as root. Only what is missing is installed.
set -eu
PACKAGES="build-essential cmake ninja-build pkg-config git ca-certificates
  qt6-base-dev libxcb1-dev libsdl2-mixer-dev libcurl4-openssl-dev libssl-dev openssl duktape-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-format
  xvfb xauth openbox xdotool x11-utils imagemagick fonts-wqy-microhei
  sox libsox-fmt-mp3 lame"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing
fi

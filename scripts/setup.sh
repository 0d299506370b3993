#!/usr/bin/env bash
# Installs the Debian packages Garvel needs to build and test. As root it runs
# apt-get; otherwise it prints the command to run.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config googletest libgtest-dev libgmock-dev
          libbenchmark-dev libinih-dev)
if [ "${GARVEL_WITH_FUZZ:-0}" = 1 ]; then
  packages+=(clang-14 libclang-rt-14-dev)
fi
if [ "${GARVEL_WITH_GUI:-0}" = 1 ]; then
  # FLTK and Xlib for the demo, XCB for setupaid, XTest to drive the demo in
  # tests; Xvfb, openbox (a reparenting window manager) and xprop for
  # scripts/with-xvfb.sh.
  packages+=(libfltk1.3-dev libx11-dev libxcb1-dev libxtst-dev xvfb openbox x11-utils)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi

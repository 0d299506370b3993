#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, runs every test.
# The X11 parts and their tests (under a private Xvfb) are included except in
# the tsan run; GARVEL_WITH_GUI=0 leaves them out.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
if [ "$preset" = tsan ]; then
  gui=${GARVEL_WITH_GUI:-0}
else
  gui=${GARVEL_WITH_GUI:-1}
fi
gui_option=OFF
[ "$gui" = 1 ] && gui_option=ON
GARVEL_WITH_GUI=$gui scripts/setup.sh
cmake --preset "$preset" -DGARVEL_WERROR=ON -DGARVEL_BUILD_GUI=$gui_option
cmake --build --preset "$preset"
ctest --preset "$preset" -j2

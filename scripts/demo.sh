#!/usr/bin/env bash
# Installs what is missing, builds the garvel tool and runs its demo: a whole
# UCP session against the built-in SMSC simulator.
# Run it as root, or as a user who may use sudo for the package install.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then
  scripts/setup.sh
elif ! scripts/setup.sh 2>/dev/null; then
  command -v sudo >/dev/null || { scripts/setup.sh; exit 1; } # prints what to install
  sudo scripts/setup.sh
fi
cmake --preset default
cmake --build --preset default --target garvel
exec build/default/cli/garvel demo

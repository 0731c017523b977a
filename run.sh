#!/usr/bin/env bash
# Installs what is missing, builds, and opens the window.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target tarvik
exec build/tarvik "$@"

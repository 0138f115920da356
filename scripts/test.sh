#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds everything and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
build="${TESSERA_BUILD_DIR:-$root/build}"
ctest --test-dir "$build" --output-on-failure -j"${TESSERA_JOBS:-2}" "$@"

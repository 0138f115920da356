#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds everything and runs the example
# application on the embedded cluster. Extra arguments go to the demo.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh"
exec bash "$root/tools/run-demo" "$@"

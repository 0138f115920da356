#!/usr/bin/env bash
# Configures and builds everything into build/ (or $TESSERA_BUILD_DIR).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TESSERA_BUILD_DIR:-$root/build}"
jobs="${TESSERA_JOBS:-2}"
# Prefer JDK 17 when several are installed.
if [ -z "${JAVA_HOME:-}" ] && [ -d /usr/lib/jvm/java-17-openjdk-amd64 ]; then
  export JAVA_HOME=/usr/lib/jvm/java-17-openjdk-amd64
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${TESSERA_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" -j"$jobs"

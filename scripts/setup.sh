#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (as root),
# skipping packages that are already there.
set -euo pipefail

packages=(openjdk-17-jdk-headless cmake make g++ libgtest-dev googletest junit4 libhamcrest-java libgoogle-gson-java
          redis-server redis-sentinel redis-tools libhiredis-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Redis packages may start system services; tests and benchmarks start
# their own servers on free loopback ports and must not find these, so they
# are stopped and kept from starting at boot (quietly: containers often have
# neither systemctl nor service).
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
for svc in redis-server redis-sentinel; do
  if command -v systemctl >/dev/null 2>&1 && systemctl list-unit-files "$svc.service" >/dev/null 2>&1; then
    $SUDO systemctl disable --now "$svc" >/dev/null 2>&1 || true
  fi
  if command -v service >/dev/null 2>&1; then
    $SUDO service "$svc" stop >/dev/null 2>&1 || true
  fi
  if command -v update-rc.d >/dev/null 2>&1; then
    $SUDO update-rc.d "$svc" disable >/dev/null 2>&1 || true
  fi
done

#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (as root),
# skipping packages that are already there.
set -euo pipefail

packages=(openjdk-17-jdk-headless cmake make g++ libgtest-dev googletest junit4 libhamcrest-java)
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

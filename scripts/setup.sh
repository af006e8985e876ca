#!/usr/bin/env bash
# Installs the Debian packages the build needs, if any are missing.
set -euo pipefail
packages=(g++ g++-multilib cmake ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3-serial socat picocom)
if [ "${CV_WITH_FUZZ:-0}" = 1 ]; then
  packages+=(clang libclang-rt-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any are missing, and the browser tests'
# npm packages (Playwright's library, driving Debian's Chromium).
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(g++ g++-multilib cmake ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3-serial socat picocom libcpp-httplib-dev nlohmann-json3-dev chromium)
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)
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
if [ ! -d tests/ui/node_modules/playwright-core ]; then
  echo "setup: installing the browser tests' npm packages"
  npm ci --prefix tests/ui --no-audit --no-fund --loglevel=error >/dev/null
fi

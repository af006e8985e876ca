#!/usr/bin/env bash
# Sets up, builds and runs cvsim on its built-in default machine. Extra arguments go to cvsim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target cvsim
exec build/sim/cvsim "$@"

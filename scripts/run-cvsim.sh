#!/usr/bin/env bash
# Sets up, builds and runs cvsim on its built-in default machine. Extra arguments go to cvsim.
set -euo pipefail
cd "$(dirname "$0")/.."
# The set-up and the build report on standard error: standard output is cvsim's alone.
scripts/setup.sh >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target cvsim >&2
exec build/sim/cvsim "$@"

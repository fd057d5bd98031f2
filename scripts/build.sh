#!/usr/bin/env bash
# Configures and builds into build/ (or $VLX_BUILD, with extra CMake options).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${VLX_BUILD:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

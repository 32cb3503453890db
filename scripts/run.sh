#!/usr/bin/env bash
# Installs what is needed, builds optimised, runs ne2000sim with any arguments given.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DNE2000_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target ne2000sim
exec build-release/bin/ne2000sim "$@"

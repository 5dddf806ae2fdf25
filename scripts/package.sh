#!/usr/bin/env bash
# Builds the Debian package from a Release build without tests:
# build-release/softphone_<version>_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DSOFTPHONE_WERROR=ON -DSOFTPHONE_TESTS=OFF
cmake --build build-release -j "$(nproc)"
(cd build-release && cpack -G DEB)

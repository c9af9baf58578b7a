#!/usr/bin/env bash
# Configures and builds the clang build under AddressSanitizer and UBSan, fuzz targets
# included, into build-asan/ (or $VORLUND_BUILD_DIR-asan).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export CC=clang CXX=clang++ VORLUND_BUILD_DIR=${VORLUND_BUILD_DIR:-$root/build}-asan
exec "$root/scripts/build.sh" -DVORLUND_SANITIZE=ON -DVORLUND_FUZZ=ON

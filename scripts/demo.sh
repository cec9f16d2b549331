#!/usr/bin/env bash
# Builds the zendral module and runs it on the bundled examples.
#   scripts/demo.sh            (PYTHON=/path/to/python3.x to choose the interpreter)
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages cmake make g++ pybind11-dev
build="$zendral_root/build"
configure "$build" -DZENDRAL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target demo -j "$(ncpu)"

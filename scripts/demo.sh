#!/usr/bin/env bash
# Builds the zendral module and runs it on the bundled examples.
#   scripts/demo.sh          CPython 3.6, in build/
#   PYTHON=/path/to/python3.x scripts/demo.sh    that interpreter, in build-py3.x/
set -euo pipefail
source "$(dirname "$0")/common.sh"
no_arguments "$@"
use_python

ensure_packages cmake make g++ pybind11-dev
build=$(build_dir build)
configure "$build" -DZENDRAL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target demo -j "$(ncpu)"

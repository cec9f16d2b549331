#!/usr/bin/env bash
# Builds zendral and runs every test: the C++ converters and the Python module,
# then the C++ tests again built with AddressSanitizer and UBSan (build-asan/).
#   scripts/test.sh            (PYTHON=/path/to/python3.x to choose the interpreter)
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages cmake make g++ pybind11-dev googletest libgtest-dev
build="$zendral_root/build"
configure "$build" -DZENDRAL_BUILD_TESTS=ON
cmake --build "$build" -j "$(jobs)"
ctest --test-dir "$build" --output-on-failure -j "$(jobs)"

# Memory errors, undefined behaviour and leaks in the converters: the same C++
# suite, instrumented. g++ brings the sanitizer runtimes (libasan, libubsan).
sanitized="$zendral_root/build-asan"
configure "$sanitized" -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_SANITIZE=ON
cmake --build "$sanitized" -j "$(jobs)"
ctest --test-dir "$sanitized" --output-on-failure -j "$(jobs)"

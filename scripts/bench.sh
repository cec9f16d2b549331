#!/usr/bin/env bash
# Builds and runs the benchmarks.
#   scripts/bench.sh cpp      C++ throughput, md4c as a yardstick, adversarial scaling
#   scripts/bench.sh python   zendral from Python against the floor and the alternatives
# (PYTHON=/path/to/python3.x to choose the interpreter.) Run on a quiet machine.
set -euo pipefail
source "$(dirname "$0")/common.sh"

what=${1:-}
case "$what" in
  cpp | python) ;;
  *) echo "usage: $0 cpp|python" >&2; exit 2 ;;
esac

ensure_packages cmake make g++ pybind11-dev libbenchmark-dev libmd4c-dev libmd4c-html0-dev
build="$zendral_root/build-bench"
configure "$build" -DZENDRAL_BUILD_TESTS=OFF -DZENDRAL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target "bench_$what" -j "$(ncpu)"

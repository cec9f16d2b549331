#!/usr/bin/env bash
# Builds and runs the benchmarks.
#   scripts/bench.sh cpp      C++ throughput, md4c as a yardstick, adversarial scaling
#   scripts/bench.sh python   zendral from Python against the floor and the alternatives
#   scripts/bench.sh against REV   the C++ converters against those of git revision REV,
#                                  interleaved in one process
# (PYTHON=/path/to/python3.x to choose the interpreter: build-bench-py3.x/.)
# Run on a quiet machine.
set -euo pipefail
source "$(dirname "$0")/common.sh"

what=${1:-}
revision=""
case "$what" in
  cpp | python) [ $# -le 1 ] || usage_error "one argument, cpp or python" ;;
  against)
    [ $# -eq 2 ] || usage_error "against takes one git revision"
    revision=$2
    git -C "$zendral_root" rev-parse --verify --quiet "$revision^{commit}" >/dev/null ||
      usage_error "no revision '$revision' in this clone" ;;
  -h | --help) usage; exit 0 ;;
  "") usage_error "say which benchmarks: cpp, python or against REV" ;;
  *) usage_error "unknown benchmarks '$what'" ;;
esac
use_python

ensure_packages cmake make g++ pybind11-dev libbenchmark-dev libmd4c-dev libmd4c-html0-dev
build=$(build_dir build-bench)
configure "$build" -DZENDRAL_BUILD_TESTS=OFF -DZENDRAL_BUILD_BENCHMARKS=ON \
  "-DZENDRAL_BENCH_AGAINST=$revision" >/dev/null
cmake --build "$build" --target "bench_$what" -j "$(ncpu)"

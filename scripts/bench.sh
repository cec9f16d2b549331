#!/usr/bin/env bash
# Builds and runs the benchmarks.
#   scripts/bench.sh cpp [REGEX]   C++ throughput, md4c as a yardstick, adversarial
#                             scaling; with REGEX only the benchmarks it matches, e.g.
#                             'streamed$' for the streaming forms
#   scripts/bench.sh python   zendral from Python against the floors, plain Python and
#                             the libraries a user would pick instead (bench/requirements.txt,
#                             installed into a venv in the build folder; extra arguments
#                             go to bench/python_bench.py, e.g. --rounds 11)
#   scripts/bench.sh against REV   the C++ converters against those of git revision REV,
#                                  interleaved in one process
#   scripts/bench.sh peers [--tree DIR] [ARGS]   the command and whole documents against
#                             md4c, cmark, discount, Miller, pyromark, markdown-it-pyrs and
#                             the floors, whole processes, interleaved; zendral is the one
#                             `pip install`ed from DIR ($ZENDRAL_BENCH_TREE; default: this
#                             tree) into a venv of CPython 3.11; ARGS go to
#                             bench/peers_bench.py, e.g. --rounds 9
# (PYTHON=/path/to/python3.x to choose the interpreter: build-bench-py3.x/;
# for peers, build-bench-peers/.)
# Run on a quiet machine.
set -euo pipefail
source "$(dirname "$0")/common.sh"

what=${1:-}
revision=""
case "$what" in
  cpp) [ $# -le 2 ] || usage_error "cpp takes one regular expression at most" ;;
  python | peers) ;;
  against)
    [ $# -eq 2 ] || usage_error "against takes one git revision"
    revision=$2
    git -C "$zendral_root" rev-parse --verify --quiet "$revision^{commit}" >/dev/null ||
      usage_error "no revision '$revision' in this clone" ;;
  -h | --help) usage; exit 0 ;;
  "") usage_error "say which benchmarks: cpp, python or against REV" ;;
  *) usage_error "unknown benchmarks '$what'" ;;
esac
shift
if [ "$what" = peers ]; then
  case " $* " in
    *" -h "* | *" --help "*) exec python3 "$zendral_root/bench/peers_bench.py" --help ;;
  esac
  tree=${ZENDRAL_BENCH_TREE:-$zendral_root}
  if [ "${1:-}" = --tree ]; then
    [ $# -ge 2 ] || usage_error "--tree takes a folder"
    tree=$2
    shift 2
  fi
  [ -f "$tree/setup.py" ] || usage_error "no zendral source tree at '$tree'"
  PYTHON=${PYTHON:-$(find_python 3.11)}
  [ -n "$PYTHON" ] || setting_error "no CPython 3.11 (python3.11 on PATH or pyenv's); set PYTHON"
  use_python
  exec "$zendral_root/bench/peers_setup.sh" "$tree" "$PYTHON" "$@"
fi
use_python

build=$(build_dir build-bench)
if [ "$what" = python ]; then
  # Only the module and the floors' extension: no Google Benchmark, no md4c.
  ensure_packages cmake make g++ pybind11-dev
  configure "$build" -DZENDRAL_BUILD_TESTS=OFF -DZENDRAL_BUILD_BENCHMARKS=ON -DZENDRAL_BENCH_CPP=OFF >/dev/null
  cmake --build "$build" --target zendral zendral_document zendral_bench_ext -j "$(ncpu)"
  interpreter=$(sed -n 's/^ZENDRAL_PYTHON:FILEPATH=//p' "$build/CMakeCache.txt")
  # The peers go into a venv of the benchmarks' own, never into the interpreter's.
  venv="$build/peers-venv"
  if [ ! -x "$venv/bin/python" ]; then
    "$interpreter" -m venv "$venv" || setting_error "could not make a venv with $interpreter (Debian: python3-venv)"
  fi
  "$venv/bin/python" -m pip install -q -r "$zendral_root/bench/requirements.txt" ||
    echo "zendral: the peers could not all be installed; their rows are skipped" >&2
  # Both modules are built there (a glob would match the two).
  module_dir=$(sed -n 's/^ZENDRAL_MODULE_DIR:PATH=//p' "$build/CMakeCache.txt")
  PYTHONPATH="$module_dir:$build/bench:$zendral_root/bench" exec "$venv/bin/python" \
    "$zendral_root/bench/python_bench.py" "$@"
fi

ensure_packages cmake make g++ pybind11-dev libbenchmark-dev libmd4c-dev libmd4c-html0-dev
configure "$build" -DZENDRAL_BUILD_TESTS=OFF -DZENDRAL_BUILD_BENCHMARKS=ON -DZENDRAL_BENCH_CPP=ON \
  "-DZENDRAL_BENCH_AGAINST=$revision" >/dev/null
if [ "$what" = cpp ] && [ -n "${1:-}" ]; then
  cmake --build "$build" --target zendral_bench -j "$(ncpu)"
  exec "$build/bench/zendral_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    "--benchmark_filter=$1"
fi
cmake --build "$build" --target "bench_$what" -j "$(ncpu)"

#!/usr/bin/env bash
# Runs inside the Debian root that scripts/test.sh makes (see debian_root in
# common.sh), the clone mounted at its own path: the C++ library and its
# tests built with the newest GCC there, in build-sid/, where any compiler
# warning fails; then for each VERSION the module and the Python suite, the
# install test included, in build-pyVERSION/.
#   scripts/root_tests.sh VERSION...        (from scripts/test.sh)
set -uo pipefail
source "$(dirname "$0")/common.sh"
case ${1:-} in
  "" | -h | --help) usage; [ -n "${1:-}" ]; exit $? ;;
esac
[ -f /.zendral-root ] || setting_error "runs inside the Debian root only; use scripts/test.sh"

failed=()
# The newest GCC, named by its version (g++-16), whatever g++ points at.
compiler=$(ls /usr/bin/g++-[0-9]* 2>/dev/null | sort -V | tail -n 1)
compiler=${compiler:-g++}
echo "== C++ tests with $("$compiler" --version | head -n 1), in build-sid/ =="
build="$zendral_root/build-sid"
# The checks of the whole project (docs, scripts) belong to the main build.
if configure "$build" -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_BUILD_CPP_TESTS=ON -DZENDRAL_BUILD_MODULE=OFF \
    "-DCMAKE_CXX_COMPILER=$compiler" >/dev/null &&
    cmake --build "$build" -j "$(ncpu)" 2>&1 | tee "$build/build.log"; then
  if grep -E '(: warning:|lto-wrapper: warning)' "$build/build.log" >/dev/null; then
    echo "zendral: $compiler warned (build-sid/build.log)" >&2
    failed+=("build-sid/ (warnings)")
  fi
  ctest --test-dir "$build" --output-on-failure -j "$(ncpu)" -E '^(docs|scripts)\.' \
    ${ZENDRAL_TESTS:+-R "$ZENDRAL_TESTS"} ||
    failed+=("build-sid/")
else
  failed+=("build-sid/ (build)")
fi

# The install test type-checks with mypy from the index, in the root's own
# tools venv (the clone's build-tools/ is the host's).
tools_interpreter=$(ls /usr/bin/python3.[0-9]* 2>/dev/null | grep -E 'python3\.[0-9]+$' | sort -V | head -n 1)
ZENDRAL_MYPY_PYTHON=$(tools_python "$tools_interpreter" "$zendral_root/build-tools-sid") || ZENDRAL_MYPY_PYTHON=""
export ZENDRAL_MYPY_PYTHON

for version in "$@"; do
  interpreter=/usr/bin/python$version
  if [ ! -x "$interpreter" ]; then
    echo "SKIPPED: Python $version tests: the Debian root has no python$version"
    failed+=("python$version (missing in the root)")
    continue
  fi
  echo "== Python tests under $interpreter ($("$interpreter" -c 'import sys; print(sys.version.split()[0])')) =="
  version_build="$zendral_root/build-py$version"
  if PYTHON=$interpreter configure "$version_build" \
      -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_BUILD_CPP_TESTS=OFF \
      "-Dpybind11_DIR=$(pybind11_dir "$interpreter" "$version_build/pybind11-from-index")" >/dev/null &&
      cmake --build "$version_build" -j "$(ncpu)"; then
    ctest --test-dir "$version_build" --output-on-failure -j "$(ncpu)" ${ZENDRAL_TESTS:+-R "$ZENDRAL_TESTS"} ||
      failed+=("build-py$version/")
  else
    failed+=("build-py$version/ (build)")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "zendral: in the Debian root, tests failed in ${failed[*]}" >&2
  exit 1
fi

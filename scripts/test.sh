#!/usr/bin/env bash
# Builds zendral and runs every test: the C++ converters once, the Python
# module under CPython 3.6 (build/) and 3.11 (build-py3.11/), then the C++
# tests again built with AddressSanitizer and UBSan (build-asan/).
#   scripts/test.sh
#   PYTHON=/path/to/python3.x scripts/test.sh      first interpreter instead of 3.6, in build-py3.x/
#   ZENDRAL_EXTRA_PYTHONS="3.8 3.9" scripts/test.sh  more versions after 3.11
#   ZENDRAL_DASK_PYTHON=/path/to/python3.x scripts/test.sh
#       interpreter with distributed for the scale-out test (default: found on PATH)
# A version with no interpreter on this machine is reported as SKIPPED.
set -euo pipefail
source "$(dirname "$0")/common.sh"
no_arguments "$@"
use_python
# The versions to test after the main build's, all checked before any build.
main_version=${python_version:-3.6}
versions=()
for version in 3.11 ${ZENDRAL_EXTRA_PYTHONS:-}; do
  [[ $version =~ ^3\.([6-9]|10|11)$ ]] ||
    setting_error "ZENDRAL_EXTRA_PYTHONS takes versions 3.6 to 3.11, not '$version'"
  [ "$version" = "$main_version" ] || [[ " ${versions[*]} " == *" $version "* ]] ||
    versions+=("$version")
done

ensure_packages cmake make g++ pybind11-dev googletest libgtest-dev \
  python3-dev python3-venv python3-wheel-whl python3-distributed

skipped=() failed=()
skip() { echo "SKIPPED: $*"; skipped+=("$*"); }

# The install test type-checks the installed stubs with Debian's mypy.
ensure_packages python3-mypy

# The main build: C++ tests, and the module for $PYTHON or else CPython 3.6.
build=$(build_dir build)
module=ON
if [ -z "${PYTHON:-}" ] && [ -z "$(find_python 3.6)" ]; then
  skip "Python 3.6 tests: no CPython 3.6 found (python3.6 on PATH or pyenv)"
  module=OFF
fi
configure "$build" -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_BUILD_CPP_TESTS=ON -DZENDRAL_BUILD_MODULE=$module
cmake --build "$build" -j "$(ncpu)"
ctest --test-dir "$build" --output-on-failure -j "$(ncpu)" || failed+=("${build##*/}/")

# The module again under each other version, Python tests only.
for version in "${versions[@]}"; do
  interpreter=$(find_python "$version")
  if [ -z "$interpreter" ]; then
    skip "Python $version tests: no CPython $version found (python$version on PATH or pyenv)"
    continue
  fi
  echo "== Python tests under $interpreter =="
  version_build="$zendral_root/build-py$version"
  PYTHON=$interpreter configure "$version_build" \
    -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_BUILD_CPP_TESTS=OFF >/dev/null
  cmake --build "$version_build" -j "$(ncpu)"
  ctest --test-dir "$version_build" --output-on-failure -j "$(ncpu)" ||
    failed+=("build-py$version/")
done

# Memory errors, undefined behaviour and leaks in the converters: the same C++
# suite, instrumented. g++ brings the sanitizer runtimes (libasan, libubsan).
sanitized="$zendral_root/build-asan"
configure "$sanitized" -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_SANITIZE=ON >/dev/null
cmake --build "$sanitized" -j "$(ncpu)"
ctest --test-dir "$sanitized" --output-on-failure -j "$(ncpu)" || failed+=("build-asan/")

for line in "${skipped[@]}"; do echo "SKIPPED: $line"; done
if [ ${#failed[@]} -gt 0 ]; then
  echo "zendral: tests failed in ${failed[*]}" >&2
  exit 1
fi

#!/usr/bin/env bash
# Checks the layering first (tests/scripts/check_layout.py: which room may
# include which, no function in src/ over 60 lines), then builds zendral and
# runs every test: the C++ converters, the Python
# module under CPython 3.6 (build/, with the pybind11 CMake finds: Debian's
# pybind11-dev) and under 3.11 and the python3 on PATH (build-py3.x/, with the
# pybind11 that pyproject.toml names, from the package index), then the C++ tests again built
# with AddressSanitizer and UBSan (build-asan/). The Python tests include a
# `pip install` of a copy of the sources into a fresh venv, from the index.
# A version this machine lacks that Debian's development suite has (3.14,
# 3.15) is tested in a Debian sid root, made once with debootstrap (as root)
# in ~/.cache/zendral/roots/ ($ZENDRAL_CACHE/roots/) and reused; the C++
# tests also run there, built with its newest GCC (scripts/root_tests.sh).
#   scripts/test.sh
#   ZENDRAL_PYTHONS=all scripts/test.sh              every version, 3.6 to 3.15
#   ZENDRAL_PYTHONS="3.14 3.15" scripts/test.sh      these after the main build's
#   PYTHON=/path/to/python3.x scripts/test.sh      first interpreter instead of 3.6, in build-py3.x/
#   ZENDRAL_TESTS=REGEX scripts/test.sh              only the tests ctest -R REGEX picks, in each build
#                                                    (the layout check when REGEX matches "layout")
#   ZENDRAL_ASAN=off scripts/test.sh                 without the ASan and UBSan build
#   ZENDRAL_DASK_PYTHON=/path/to/python3.x scripts/test.sh
#       interpreter with distributed and cryptography for the cluster tests
#       (default: found on PATH)
# A version with no interpreter on this machine is reported as SKIPPED.
set -euo pipefail
source "$(dirname "$0")/common.sh"
no_arguments "$@"
use_python
# The versions to test after the main build's, all checked before any build.
main_version=${python_version:-3.6}
on_path=$(python3_on_path)
[ -z "$on_path" ] || on_path=$("$on_path" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
wanted=${ZENDRAL_PYTHONS:-3.11 $on_path}
[ "$wanted" = all ] && wanted=$all_versions
versions=()
for version in $wanted; do
  supported_version "$version" ||
    setting_error "ZENDRAL_PYTHONS takes 'all' or versions such as 3.6 or 3.15, not '$version'"
  [ "$version" = "$main_version" ] || [[ " ${versions[*]} " == *" $version "* ]] ||
    versions+=("$version")
done

ensure_packages cmake make g++ pybind11-dev googletest libgtest-dev jq \
  python3-dev python3-venv python3-distributed python3-cryptography

skipped=() failed=()
skip() { echo "SKIPPED: $*"; skipped+=("$*"); }

# mypy from the index, for the stub and install tests; its Python (3.9 or
# later) runs the layout check too.
ZENDRAL_MYPY_PYTHON=$(tools_python)
export ZENDRAL_MYPY_PYTHON

# The layering, before any build: a fault fails the run, and the builds go on
# so that the run still shows every other result.
if [ -z "${ZENDRAL_TESTS:-}" ] || [[ layout =~ $ZENDRAL_TESTS ]]; then
  echo "== Layout: which room includes which, and function lengths =="
  "$ZENDRAL_MYPY_PYTHON" "$zendral_root/tests/scripts/check_layout.py" "$zendral_root" ||
    failed+=("check_layout.py")
else
  skip "the layout check: ZENDRAL_TESTS does not pick 'layout'"
fi

# The main build: C++ tests, and the module for $PYTHON or else CPython 3.6.
build=$(build_dir build)
module=ON
if [ -z "${PYTHON:-}" ] && [ -z "$(find_python 3.6)" ]; then
  skip "Python 3.6 tests: no CPython 3.6 found (python3.6 on PATH or pyenv)"
  module=OFF
fi
configure "$build" -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_BUILD_CPP_TESTS=ON -DZENDRAL_BUILD_MODULE=$module
cmake --build "$build" -j "$(ncpu)"
ctest --test-dir "$build" --output-on-failure -j "$(ncpu)" ${ZENDRAL_TESTS:+-R "$ZENDRAL_TESTS"} || failed+=("${build##*/}/")

# The module again under each other version, Python tests only, built with
# the pybind11 that pip would build it with.
in_root=()
for version in "${versions[@]}"; do
  interpreter=$(find_python "$version")
  if [ -z "$interpreter" ] && [[ " $root_versions " == *" $version "* ]]; then
    in_root+=("$version")
    continue
  elif [ -z "$interpreter" ]; then
    skip "Python $version tests: no CPython $version found (python$version on PATH or pyenv)"
    continue
  fi
  echo "== Python tests under $interpreter =="
  version_build="$zendral_root/build-py$version"
  PYTHON=$interpreter configure "$version_build" \
    -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_BUILD_CPP_TESTS=OFF \
    "-Dpybind11_DIR=$(pybind11_dir "$interpreter" "$version_build/pybind11-from-index")" >/dev/null
  cmake --build "$version_build" -j "$(ncpu)"
  ctest --test-dir "$version_build" --output-on-failure -j "$(ncpu)" ${ZENDRAL_TESTS:+-R "$ZENDRAL_TESTS"} ||
    failed+=("build-py$version/")
done

# The versions only Debian's development suite has, in its root.
if [ ${#in_root[@]} -gt 0 ]; then
  if debian_root; then
    echo "== In the Debian root $debian_root: ${in_root[*]} =="
    in_root "$debian_root" bash "$zendral_root/scripts/root_tests.sh" "${in_root[@]}" || failed+=("the Debian root")
  else
    for version in "${in_root[@]}"; do
      skip "Python $version tests: no CPython $version found (python$version on PATH or pyenv), and no Debian root: $root_problem"
    done
  fi
fi

# Memory errors, undefined behaviour and leaks in the converters: the same C++
# suite, instrumented. g++ brings the sanitizer runtimes (libasan, libubsan).
sanitized="$zendral_root/build-asan"
if [ "${ZENDRAL_ASAN:-on}" = off ]; then
  skip "the ASan and UBSan build: ZENDRAL_ASAN=off"
else
  configure "$sanitized" -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_SANITIZE=ON >/dev/null
  cmake --build "$sanitized" -j "$(ncpu)"
  ctest --test-dir "$sanitized" --output-on-failure -j "$(ncpu)" ${ZENDRAL_TESTS:+-R "$ZENDRAL_TESTS"} || failed+=("build-asan/")
fi

for line in "${skipped[@]}"; do echo "SKIPPED: $line"; done
if [ ${#failed[@]} -gt 0 ]; then
  echo "zendral: tests failed in ${failed[*]}" >&2
  exit 1
fi

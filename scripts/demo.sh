#!/usr/bin/env bash
# Builds the zendral module and runs it on the bundled examples, under the
# python3 on PATH (any CPython 3.6 or later, built in build-py3.x/) and under
# CPython 3.6 as well when the machine has it (python3.6 on PATH or pyenv; in
# build/). Says which interpreter each run used.
#   scripts/demo.sh
#   PYTHON=/path/to/python3.x scripts/demo.sh    that interpreter alone, in build-py3.x/
set -euo pipefail
source "$(dirname "$0")/common.sh"
no_arguments "$@"
use_python

ensure_packages cmake make g++ pybind11-dev python3-dev
runs=()  # "BUILD_DIR INTERPRETER"
if [ -n "${PYTHON:-}" ]; then
  runs+=("$(build_dir build) $PYTHON")
else
  interpreter=$(find_python 3.6)
  [ -n "$interpreter" ] && runs+=("$zendral_root/build $interpreter")
  interpreter=$(python3_on_path)
  if [ -n "$interpreter" ]; then
    version=$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    [ "$version" = 3.6 ] || runs+=("$zendral_root/build-py$version $interpreter")
  fi
fi
if [ ${#runs[@]} -eq 0 ]; then
  echo "demo.sh: no CPython 3.6 or later found: neither python3 on PATH nor python3.6 (PATH or pyenv)." >&2
  echo "demo.sh: on Debian: apt-get install python3 python3-dev" >&2
  exit 1
fi

for run in "${runs[@]}"; do
  build=${run%% *} interpreter=${run#* }
  echo "== zendral demo under $("$interpreter" -c 'import sys; print("Python " + sys.version.split()[0])') ($interpreter), built in ${build#"$zendral_root"/}/"
  if [ "$build" = "$zendral_root/build" ] && [ -z "${PYTHON:-}" ]; then
    configure "$build" -DZENDRAL_BUILD_TESTS=OFF >/dev/null
  else
    PYTHON=$interpreter configure "$build" -DZENDRAL_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$build" --target demo -j "$(ncpu)"
done

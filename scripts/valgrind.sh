#!/usr/bin/env bash
# Runs the Python test suite once under valgrind memcheck, with the module
# built with debug information (build-valgrind/), and sorts what memcheck
# reports into errors whose stack passes through the module and the rest
# (the interpreter's own). Fails when the module shows any error or any
# definitely lost block. Takes a few minutes.
#   scripts/valgrind.sh        (PYTHON=/path/to/python3.x to choose the interpreter:
#                               build-valgrind-py3.x/)
set -euo pipefail
source "$(dirname "$0")/common.sh"
no_arguments "$@"
use_python

ensure_packages cmake make g++ pybind11-dev valgrind
build=$(build_dir build-valgrind)
# The Python tests need the module and the test module they compare it with.
configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENDRAL_BUILD_TESTS=ON -DZENDRAL_BUILD_CPP_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(ncpu)" --target zendral zendral_list_path
python=$(sed -n 's/^ZENDRAL_PYTHON:FILEPATH=//p' "$build/CMakeCache.txt")
module=$(ls "$build"/zendral*.so)
report="$build/memcheck.xml"

cd "$zendral_root/tests/python"
tests=(test_*.py)
echo "valgrind: ${tests[*]} under $python (log: $build/memcheck.log)"
status=0
# PYTHONMALLOC=malloc: every object goes through malloc, where memcheck sees
# it, instead of pymalloc's pools. Child processes that tests start run
# without valgrind (no --trace-children).
PYTHONMALLOC=malloc PYTHONPATH="$build:$build/tests/python" ZENDRAL_MODULE="$module" ZENDRAL_UNDER_VALGRIND=1 \
  PYTHONDONTWRITEBYTECODE=1 \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=40 --xml=yes --xml-file="$report" \
    "$python" -m unittest "${tests[@]%.py}" >"$build/memcheck.log" 2>&1 || status=$?
tail -n 4 "$build/memcheck.log"
[ "$status" -eq 0 ] || { echo "valgrind: the test suite failed under valgrind (exit $status)" >&2; exit 1; }

"$python" - "$report" "$(basename "$module")" <<'PY'
import collections, sys
import xml.etree.ElementTree as ET

report, module = sys.argv[1:3]
ours, theirs = collections.Counter(), collections.Counter()
examples = {}
for error in ET.parse(report).getroot().iter("error"):
    kind = error.findtext("kind")
    frames = error.find("stack").findall("frame")
    in_module = any((frame.findtext("obj") or "").endswith(module) for frame in frames)
    (ours if in_module else theirs)[kind] += 1
    if in_module and kind not in examples:
        what = error.findtext("what") or error.find("xwhat").findtext("text")
        where = [f.findtext("fn") or "?" for f in frames[:8]]
        examples[kind] = "%s\n      %s" % (what, "\n      ".join(where))
print("memcheck, errors through the module:     %s" % (dict(ours) or "none"))
print("memcheck, errors elsewhere (interpreter): %s" % (dict(theirs) or "none"))
for kind, text in sorted(examples.items()):
    print("  %s: %s" % (kind, text))
sys.exit(1 if ours else 0)
PY

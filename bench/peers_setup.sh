#!/usr/bin/env bash
# Set-up of bench/peers_bench.py, run by `scripts/bench.sh peers`:
#   bench/peers_setup.sh TREE PYTHON [ARGS]
# Installs the peers from Debian (Miller, cmark, discount, md4c), builds the
# benchmark's own programs (the md4c driver, the I/O floor, the input maker)
# in build-bench-peers/, makes a venv of PYTHON there with zendral installed
# by pip from TREE and the pinned peers of bench/requirements.txt, then runs
# the benchmark with ARGS. The venv is made again only when TREE's files or
# the requirements change.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"

tree=$(cd "$1" && pwd)
python=$2
shift 2
bench_dir="$zendral_root/bench"
build="$zendral_root/build-bench-peers"
mkdir -p "$build"

ensure_packages gcc g++ miller cmark discount libmd4c-dev libmd4c-html0-dev valgrind

# compile OUTPUT SOURCE COMMAND...: runs COMMAND -o OUTPUT unless OUTPUT is
# newer than SOURCE.
compile() {
  local output=$1 source=$2
  shift 2
  [ "$output" -nt "$source" ] && [ "$output" -nt "$bench_dir/inputs.hpp" ] && return 0
  "$@" -o "$output.new" && mv "$output.new" "$output"
}
compile "$build/io_floor" "$bench_dir/io_floor.c" cc -O2 -Wall "$bench_dir/io_floor.c"
compile "$build/md4c_html" "$bench_dir/md4c_html.c" cc -O2 -Wall "$bench_dir/md4c_html.c" -lmd4c-html -lmd4c
compile "$build/make_inputs" "$bench_dir/make_inputs.cpp" \
  c++ -O2 -std=c++17 -Wall -I "$zendral_root/include" "$bench_dir/make_inputs.cpp"

# The files of TREE that a build reads: git's list when it is a clone (the
# working tree's contents, uncommitted changes included), else every file
# outside build folders.
tree_files() {
  if git -C "$tree" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$tree" ls-files -z --cached --others --exclude-standard
  else
    (cd "$tree" && find . -path './build*' -prune -o -type f -print0)
  fi
}

key=$(printf '%s' "$tree" | sha1sum | cut -c1-10)
venv="$build/venv-$key"
# What the module is built from: the benchmarks, tests, docs and examples
# are not (pip's build turns them off), so editing them costs no new build.
built_from() { tree_files | grep -z -v -E '^(\./)?(bench|tests|docs|examples|fuzz)/'; }
stamp=$( (cd "$tree" && built_from | xargs -0 sha1sum; sha1sum "$bench_dir/requirements.txt"; "$python" -VV) | sha1sum)
if [ ! -x "$venv/bin/zendral" ] || [ "$(cat "$venv/.tree-stamp" 2>/dev/null)" != "$stamp" ]; then
  echo "zendral: installing zendral from $tree into $venv (pip install, a few minutes)"
  rm -rf "$venv" "$build/source-$key"
  "$python" -m venv "$venv" || setting_error "could not make a venv with $python"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$bench_dir/requirements.txt" ||
    echo "zendral: the Python peers could not all be installed; their rows are skipped" >&2
  # A copy, so that the build writes nothing into the measured tree.
  mkdir -p "$build/source-$key"
  (cd "$tree" && tree_files | tar --null -T - -cf -) | tar -xf - -C "$build/source-$key"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$build/source-$key"
  rm -rf "$build/source-$key"
  echo "$stamp" >"$venv/.tree-stamp"
fi

label=$(git -C "$tree" describe --always --dirty 2>/dev/null || echo "$tree")
exec "$venv/bin/python" "$bench_dir/peers_bench.py" --venv "$venv" --tools "$build" \
  --tree "$tree" --label "$label" "$@"

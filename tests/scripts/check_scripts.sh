#!/usr/bin/env bash
# The scripts check their arguments and settings before they install or build
# anything: --help prints the usage and exits 0, a wrong argument or setting
# exits 2 saying what is wrong, and each interpreter has its own build folder.
# Runs a copy of scripts/ with a cmake first on PATH that fails (exit 99) on
# any configure or build, and an apt-get that installs nothing.
#   check_scripts.sh SOURCE_DIR [PYTHON]    (PYTHON: a CPython 3.6 or later)
set -uo pipefail
source_dir=$1 python=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root" "$work/bin"
cp -r "$source_dir/scripts" "$source_dir/cmake" "$work/root/"
real_cmake=$(command -v cmake)
cat >"$work/bin/cmake" <<EOF
#!/bin/sh
# Script mode (-P) is how the scripts find interpreters; let it through.
case " \$* " in *" -P "*) exec "$real_cmake" "\$@" ;; esac
echo "cmake called: \$*" >&2
exit 99
EOF
printf '#!/bin/sh\necho "apt-get called: $*" >&2\nexit 99\n' >"$work/bin/apt-get"
chmod +x "$work/bin/cmake" "$work/bin/apt-get"
export PATH="$work/bin:$PATH"

failures=0
# check STATUS TEXT [NAME=VALUE...] SCRIPT [ARG...]: the script must exit with
# STATUS and its output hold TEXT.
check() {
  local want=$1 text=$2 output status
  shift 2
  output=$(cd "$work/root" && timeout 60 env "$@" </dev/null 2>&1)
  status=$?
  if [ "$status" -eq "$want" ] && [[ $output == *"$text"* ]]; then
    echo "ok: $* (exit $status)"
  else
    echo "FAILED: $* exited $status, not $want, or printed no '$text':"
    echo "$output" | head -n 20 | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

for script in demo test bench fuzz valgrind root_tests wheels; do
  check 0 "scripts/$script.sh" "scripts/$script.sh" --help
done
check 2 "unexpected argument '--verbose'" scripts/demo.sh --verbose
check 2 "runs inside the Debian root only" scripts/root_tests.sh 3.14
check 2 "unexpected argument 'all'" scripts/test.sh all
check 2 "unexpected argument 'now'" scripts/valgrind.sh now
check 2 "say which benchmarks" scripts/bench.sh
check 2 "--seconds takes a whole number of seconds, not ''" scripts/fuzz.sh --seconds
check 2 "not 'ten'" scripts/fuzz.sh md_to_html --seconds ten
check 2 "--work takes a folder" scripts/fuzz.sh --work
check 2 "unknown target 'parser'" scripts/fuzz.sh parser
check 2 "not '3.5'" ZENDRAL_PYTHONS="3.8 3.5" scripts/test.sh
check 2 "not '2.7'" ZENDRAL_PYTHONS="3.15 2.7" scripts/test.sh
check 2 "--versions takes versions such as 3.6 or 3.15, not '3.5'" scripts/wheels.sh --versions "3.5 3.11"
check 2 "unexpected argument 'now'" scripts/wheels.sh --ci now
check 2 "PYTHON=$work/none does not run" PYTHON="$work/none" scripts/demo.sh

# The default interpreter's folder is build/; one configured for another
# interpreter is refused, not silently rebuilt for the one in its cache.
# (demo.sh starts with 3.6's build/ where there is a 3.6, else python3's.)
first=build
[ -n "$(cd "$work/root" && bash -c 'source scripts/common.sh; find_python 3.6')" ] ||
  first=build-py$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
mkdir -p "$work/root/$first"
echo "ZENDRAL_PYTHON:FILEPATH=/elsewhere/python3.8" >"$work/root/$first/CMakeCache.txt"
check 2 "$first/ holds a build for /elsewhere/python3.8" scripts/demo.sh
if [ -n "$python" ]; then
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  check 99 "-B $work/root/build-py$version -DZENDRAL_BUILD_TESTS=OFF" PYTHON="$python" scripts/demo.sh
  # Another name of the same interpreter (python3 beside python3.x) shares
  # the folder, under the name it was configured with.
  ln -s "$python" "$work/bin/another-name"
  mkdir -p "$work/root/build-py$version"
  echo "ZENDRAL_PYTHON:FILEPATH=$work/bin/another-name" >"$work/root/build-py$version/CMakeCache.txt"
  check 99 "-DZENDRAL_PYTHON=$work/bin/another-name" PYTHON="$python" scripts/demo.sh
else
  echo "skipped: no interpreter given for the build-py3.x/ case"
fi

# CMake refuses an interpreter that is not CPython 3.6 or later, saying what
# it is; it has no upper bound.
for found in "PyPy 3.10" "CPython 3.5" "CPython 3.16"; do
  printf '#!/bin/sh\ncase "$2" in *platform*) echo %s ;; *) echo %s ;; esac\n' $found >"$work/bin/python-${found// /-}"
  chmod +x "$work/bin/python-${found// /-}"
done
configure_with() {  # CMake's message, unwrapped
  "$real_cmake" -S "$source_dir" -B "$work/configured-$1" "-DZENDRAL_PYTHON=$work/bin/python-$1" \
    -DZENDRAL_BUILD_TESTS=OFF -DZENDRAL_INSTALL=OFF 2>&1 | tr -s ' \n' '  '
  return "${PIPESTATUS[0]}"
}
export -f configure_with
export real_cmake source_dir work
check 1 "python-PyPy-3.10 is PyPy '3.10'; zendral builds for CPython 3.6 and later." bash -c 'configure_with PyPy-3.10'
check 1 "python-CPython-3.5 is CPython '3.5'; zendral builds for CPython 3.6 and later." bash -c 'configure_with CPython-3.5'
# Past the version check, the fake interpreter fails where pybind11 needs a real one.
check 1 "pybind11" bash -c 'configure_with CPython-3.16'

# Where the Debian root for 3.14 and 3.15 cannot be made, debian_root says
# why (test.sh reports those versions SKIPPED with it) and makes nothing.
mkdir -p "$work/nonroot"
printf '#!/bin/sh\necho 1000\n' >"$work/nonroot/id"
chmod +x "$work/nonroot/id"
check 1 "not root, so no Debian root can be made in $work/cache/roots/sid-" ZENDRAL_CACHE="$work/cache" \
  PATH="$work/nonroot:$PATH" bash -c 'source scripts/common.sh; debian_root'
check 1 "no debootstrap (apt-get install debootstrap)" ZENDRAL_CACHE="$work/cache" \
  PATH="$work/bin:/usr/bin:/bin" bash -c 'source scripts/common.sh; debian_root'
[ ! -e "$work/cache" ] || { echo "FAILED: a root folder was made in $work/cache"; failures=$((failures + 1)); }

# apt's package lock, held by another apt: waited for with a line saying so,
# and given up after ZENDRAL_APT_LOCK_SECONDS with one line.
mkdir -p "$work/locked"
cat >"$work/locked/apt-get" <<EOF
#!/bin/sh
calls=\$(cat "$work/locked/calls" 2>/dev/null || echo 0)
echo \$((calls + 1)) >"$work/locked/calls"
if [ "\$calls" -lt "\$LOCKED_CALLS" ]; then
  echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)" >&2
  exit 100
fi
echo "apt-get ran: \$*"
EOF
chmod +x "$work/locked/apt-get"
lock_check() {
  rm -f "$work/locked/calls"
  check "$@" PATH="$work/locked:$PATH" bash -c 'source scripts/common.sh; apt_get update -qq'
}
lock_check 0 "the package lock (process 4242 (apt-get)); waiting for it, up to 300 s" LOCKED_CALLS=1
lock_check 0 "apt-get ran: -o DPkg::Lock::Timeout=" LOCKED_CALLS=2
lock_check 1 "not released within 3 s (held by process 4242 (apt-get)); run this again" \
  LOCKED_CALLS=100 ZENDRAL_APT_LOCK_SECONDS=3
lock_check 0 "apt-get ran: -o DPkg::Lock::Timeout=0 update -qq" LOCKED_CALLS=0
# cross_wheel.py (wheels.sh's aarch64 wheels): a wheel with a module not
# replaced (a second zendral, or zendral_document left out) is refused;
# otherwise each module is replaced, the tag is the new modules' and every
# RECORD line holds its file's hash and size, folders left out.
if [ -n "$python" ]; then
  check 0 "cross wheel checked" "$python" -c '
import base64, hashlib, os, subprocess, sys, tempfile, zipfile
folder = tempfile.mkdtemp()
old = os.path.join(folder, "zendral-1.0-cp311-cp311-linux_x86_64.whl")
modules = [os.path.join(folder, name + ".cpython-311-aarch64-linux-gnu.so")
           for name in ("zendral", "zendral_document")]
for module in modules:
    open(module, "wb").write(b"arm")
def make(names):
    with zipfile.ZipFile(old, "w") as wheel:
        for name in names:
            wheel.writestr(name, "x")
        wheel.writestr("zendral-1.0.dist-info/WHEEL", "Wheel-Version: 1.0\nTag: cp311-cp311-linux_x86_64\n")
        wheel.writestr("zendral-1.0.dist-info/RECORD", "stale")
run = lambda given: subprocess.run([sys.executable, "scripts/cross_wheel.py", old, folder] + given,
                                   stdout=subprocess.PIPE)
x86 = ["zendral.cpython-311-x86_64-linux-gnu.so", "zendral_document.cpython-311-x86_64-linux-gnu.so"]
make(x86 + ["zendral.cpython-312-x86_64-linux-gnu.so"])
assert run(modules).returncode != 0
make(x86 + ["zendral_cli/", "zendral_cli/__init__.py"])
assert run(modules[:1]).returncode != 0
made = run(modules).stdout.decode().strip()
assert made.endswith("zendral-1.0-cp311-cp311-linux_aarch64.whl"), made
wheel = zipfile.ZipFile(made)
names = sorted(wheel.namelist())
assert names == sorted(["zendral.cpython-311-aarch64-linux-gnu.so", "zendral_cli/__init__.py",
                        "zendral_document.cpython-311-aarch64-linux-gnu.so",
                        "zendral-1.0.dist-info/WHEEL", "zendral-1.0.dist-info/RECORD"]), names
assert wheel.read("zendral-1.0.dist-info/WHEEL").decode().endswith("\nTag: cp311-cp311-linux_aarch64\n")
for line in wheel.read("zendral-1.0.dist-info/RECORD").decode().splitlines():
    name, digest, size = line.split(",")
    if name.endswith("RECORD"):
        continue
    data = wheel.read(name)
    assert digest == "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode(), line
    assert int(size) == len(data), line
print("cross wheel checked")'
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }

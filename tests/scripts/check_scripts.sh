#!/usr/bin/env bash
# The scripts check their arguments and settings before they install or build
# anything: --help prints the usage and exits 0, a wrong argument or setting
# exits 2 saying what is wrong, and each interpreter has its own build folder.
# Runs a copy of scripts/ with a cmake first on PATH that fails (exit 99) on
# any configure or build, and an apt-get that installs nothing.
#   check_scripts.sh SOURCE_DIR [PYTHON]    (PYTHON: a CPython 3.6 to 3.13)
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

for script in demo test bench fuzz valgrind wheels; do
  check 0 "scripts/$script.sh" "scripts/$script.sh" --help
done
check 2 "unexpected argument '--verbose'" scripts/demo.sh --verbose
check 2 "unexpected argument 'all'" scripts/test.sh all
check 2 "unexpected argument 'now'" scripts/valgrind.sh now
check 2 "say which benchmarks" scripts/bench.sh
check 2 "--seconds takes a whole number of seconds, not ''" scripts/fuzz.sh --seconds
check 2 "not 'ten'" scripts/fuzz.sh md_to_html --seconds ten
check 2 "--work takes a folder" scripts/fuzz.sh --work
check 2 "unknown target 'parser'" scripts/fuzz.sh parser
check 2 "not '3.14'" ZENDRAL_PYTHONS="3.8 3.14" scripts/test.sh
check 2 "--versions takes versions 3.6 to 3.15, not '3.5'" scripts/wheels.sh --versions "3.5 3.11"
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
else
  echo "skipped: no interpreter given for the build-py3.x/ case"
fi

# cross_wheel.py (wheels.sh's aarch64 wheels): a wheel of two modules is
# refused; otherwise the module is replaced, the tag is the new module's and
# every RECORD line holds its file's hash and size, folders left out.
if [ -n "$python" ]; then
  check 0 "cross wheel checked" "$python" -c '
import base64, hashlib, os, subprocess, sys, tempfile, zipfile
folder = tempfile.mkdtemp()
old = os.path.join(folder, "zendral-1.0-cp311-cp311-linux_x86_64.whl")
module = os.path.join(folder, "zendral.cpython-311-aarch64-linux-gnu.so")
open(module, "wb").write(b"arm")
def make(names):
    with zipfile.ZipFile(old, "w") as wheel:
        for name in names:
            wheel.writestr(name, "x")
        wheel.writestr("zendral-1.0.dist-info/WHEEL", "Wheel-Version: 1.0\nTag: cp311-cp311-linux_x86_64\n")
        wheel.writestr("zendral-1.0.dist-info/RECORD", "stale")
run = lambda: subprocess.run([sys.executable, "scripts/cross_wheel.py", old, module, folder], stdout=subprocess.PIPE)
make(["zendral.cpython-311-x86_64-linux-gnu.so", "zendral.cpython-312-x86_64-linux-gnu.so"])
assert run().returncode != 0
make(["zendral.cpython-311-x86_64-linux-gnu.so", "zendral_cli/", "zendral_cli/__init__.py"])
made = run().stdout.decode().strip()
assert made.endswith("zendral-1.0-cp311-cp311-linux_aarch64.whl"), made
wheel = zipfile.ZipFile(made)
names = sorted(wheel.namelist())
assert names == sorted(["zendral.cpython-311-aarch64-linux-gnu.so", "zendral_cli/__init__.py",
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

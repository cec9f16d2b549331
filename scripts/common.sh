# Shared by the project's scripts; sourced, not run.

zendral_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# ensure_packages PKG...: installs the Debian packages that are missing. Needs
# root for that; otherwise names them and fails.
ensure_packages() {
  command -v dpkg-query >/dev/null 2>&1 || return 0  # not Debian: trust the machine
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "zendral: missing Debian packages: ${missing[*]}" >&2
    echo "zendral: run as root, or: sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "zendral: installing ${missing[*]}"
  if [ -z "${zendral_apt_updated:-}" ]; then
    apt-get update -qq
    export zendral_apt_updated=1  # scripts that call scripts update once
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# usage: prints the calling script's header comment, its usage.
usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }

# usage_error MESSAGE: says what is wrong, then how to call the script; exits 2.
usage_error() {
  echo "$(basename "$0"): $*" >&2
  usage >&2
  exit 2
}

# setting_error MESSAGE: a wrong environment setting; exits 2.
setting_error() {
  echo "$(basename "$0"): $*" >&2
  exit 2
}

# no_arguments "$@": for the scripts that take none but --help.
no_arguments() {
  case ${1:-} in
    "") ;;
    -h | --help) usage; exit 0 ;;
    *) usage_error "unexpected argument '$1'" ;;
  esac
}

# use_python: checks $PYTHON, when set, before anything is installed or
# built: it must run and be CPython 3.6 to 3.13. Sets python_version to its
# major.minor (empty without PYTHON) and PYTHON to the interpreter it runs,
# so that a pyenv shim cannot later stand for another version.
use_python() {
  python_version=""
  [ -n "${PYTHON:-}" ] || return 0
  local found
  found=$("$PYTHON" -c 'import sys; print("%d.%d %s" % (sys.version_info[0], sys.version_info[1], sys.executable))' 2>/dev/null) ||
    setting_error "PYTHON=$PYTHON does not run"
  python_version=${found%% *}
  supported_version "$python_version" ||
    setting_error "PYTHON=$PYTHON is Python $python_version; zendral builds for CPython 3.6 to 3.13"
  [ "${found#* }" = "" ] || PYTHON=${found#* }
}

# build_dir NAME: the build folder for the chosen interpreter, one per
# interpreter: NAME for CMake's default (CPython 3.6), NAME-pyX.Y for PYTHON.
build_dir() { echo "$zendral_root/$1${python_version:+-py$python_version}"; }

# configure BUILD_DIR [CMAKE_ARGS...]: configures a build folder. The
# interpreter comes from $PYTHON when set, else CMake finds CPython 3.6. A
# folder already configured for another interpreter is not reused: CMake
# would keep building for the one in its cache.
configure() {
  local build_dir=$1
  shift
  local cached wanted
  cached=$(sed -n 's/^ZENDRAL_PYTHON:FILEPATH=//p' "$build_dir/CMakeCache.txt" 2>/dev/null || true)
  if [ -n "$cached" ]; then
    wanted=${PYTHON:-$(find_python 3.6)}
    if [ "$cached" != "$wanted" ]; then
      echo "zendral: ${build_dir#"$zendral_root"/}/ holds a build for $cached, not for ${wanted:-CPython 3.6 (none found now)}." >&2
      echo "zendral: remove it (rm -rf '$build_dir') to build there for ${wanted:-CPython 3.6}." >&2
      exit 2
    fi
  fi
  local args=(-S "$zendral_root" -B "$build_dir" "$@")
  if [ -n "${PYTHON:-}" ]; then
    args+=("-DZENDRAL_PYTHON=$PYTHON")
    # Debian's pybind11 stops at 3.11: later versions get the index's.
    if [[ " $* " != *" -Dpybind11_DIR="* ]] && ! "$PYTHON" -c 'import sys; sys.exit(sys.version_info >= (3, 12))'; then
      args+=("-Dpybind11_DIR=$(pybind11_dir "$PYTHON" "$build_dir/pybind11-from-index")")
    fi
  fi
  cmake "${args[@]}"
}

# python3_on_path: prints the interpreter that `python3` on PATH runs, when it
# is a CPython zendral builds for; nothing otherwise.
python3_on_path() {
  local found
  found=$(python3 -c 'import platform, sys; print("%d.%d %s %s" % (sys.version_info[0], sys.version_info[1], platform.python_implementation(), sys.executable))' 2>/dev/null) || return 0
  supported_version "${found%% *}" && [[ $found == *" CPython "* ]] && echo "${found##* }"
  return 0
}

# find_python VERSION: prints the CPython VERSION interpreter that CMake would
# find (a working pythonVERSION on PATH, else pyenv's), or nothing.
find_python() {
  cmake -DZENDRAL_FIND_VERSION="$1" -P "$zendral_root/cmake/ZendralPython.cmake"
}

# supported_version X.Y: whether zendral builds for CPython X.Y.
supported_version() { [[ $1 =~ ^3\.([6-9]|1[0-3])$ ]]; }
all_versions="3.6 3.7 3.8 3.9 3.10 3.11 3.12 3.13"

# pybind11_dir INTERPRETER FOLDER: installs into a venv in FOLDER the pybind11
# that pyproject.toml gives INTERPRETER's version (its lines, markers and all,
# so the two cannot disagree) and prints its CMake folder. A venv, since the
# interpreter itself may have no pip (Debian's python3 without python3-pip).
pybind11_dir() {
  local requirements
  mapfile -t requirements < <(sed -n 's/^ *"\(pybind11[^"]*\)",*$/\1/p' "$zendral_root/pyproject.toml")
  if ! "$2/bin/python" -c 'import pybind11' 2>/dev/null; then
    "$1" -m venv --clear "$2" >&2
    "$2/bin/python" -m pip install --quiet --disable-pip-version-check "${requirements[@]}" >&2
  fi
  "$2/bin/python" -m pybind11 --cmakedir
}

# tools_python: a venv in build-tools/ with the pinned tools from the index
# (scripts/tools-requirements.txt); prints its interpreter. Made once, with
# the python3 on PATH.
tools_python() {
  local venv="$zendral_root/build-tools" stamp requirements="$zendral_root/scripts/tools-requirements.txt"
  stamp="$venv/requirements.txt"
  if ! cmp -s "$requirements" "$stamp"; then
    rm -rf "$venv"
    python3 -m venv "$venv" >&2
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$requirements" >&2
    cp "$requirements" "$stamp"
  fi
  echo "$venv/bin/python"
}

ncpu() { nproc 2>/dev/null || echo 2; }

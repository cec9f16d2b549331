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
# built: it must run and be CPython 3.6 to 3.11. Sets python_version to its
# major.minor (empty without PYTHON) and PYTHON to the interpreter it runs,
# so that a pyenv shim cannot later stand for another version.
use_python() {
  python_version=""
  [ -n "${PYTHON:-}" ] || return 0
  local found
  found=$("$PYTHON" -c 'import sys; print("%d.%d %s" % (sys.version_info[0], sys.version_info[1], sys.executable))' 2>/dev/null) ||
    setting_error "PYTHON=$PYTHON does not run"
  python_version=${found%% *}
  [[ $python_version =~ ^3\.([6-9]|10|11)$ ]] ||
    setting_error "PYTHON=$PYTHON is Python $python_version; zendral builds for CPython 3.6 to 3.11"
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
  [ -n "${PYTHON:-}" ] && args+=("-DZENDRAL_PYTHON=$PYTHON")
  cmake "${args[@]}"
}

# find_python VERSION: prints the CPython VERSION interpreter that CMake would
# find (a working pythonVERSION on PATH, else pyenv's), or nothing.
find_python() {
  cmake -DZENDRAL_FIND_VERSION="$1" -P "$zendral_root/cmake/ZendralPython.cmake"
}

ncpu() { nproc 2>/dev/null || echo 2; }

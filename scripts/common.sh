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

# configure BUILD_DIR [CMAKE_ARGS...]: configures a build folder. The
# interpreter comes from $PYTHON when set, else CMake finds CPython 3.6.
configure() {
  local build_dir=$1
  shift
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

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
    apt_get update -qq
    export zendral_apt_updated=1  # scripts that call scripts update once
  fi
  DEBIAN_FRONTEND=noninteractive apt_get install -y -qq --no-install-recommends "${missing[@]}"
}

# apt_get ARGS...: apt-get, waiting for the package lock that another apt
# holds (a new machine's unattended upgrade at boot), up to
# $ZENDRAL_APT_LOCK_SECONDS (300) in all; then the script ends with one line.
# apt waits by itself for dpkg's lock when told to, but `update` does not
# wait for the lists' lock, hence the loop.
apt_get() {
  local limit=${ZENDRAL_APT_LOCK_SECONDS:-300} started=$SECONDS wait=0 output holder
  while :; do
    if output=$(apt-get -o DPkg::Lock::Timeout="$wait" "$@" 2>&1); then
      [ -z "$output" ] || printf '%s\n' "$output"
      return 0
    fi
    if ! grep -q -e 'Could not get lock' -e 'Unable to acquire' -e 'Unable to lock' <<<"$output"; then
      printf '%s\n' "$output" >&2
      return 1
    fi
    holder=$(sed -n 's/.*held by process \([0-9]* ([^)]*)\).*/\1/p' <<<"$output" | head -n 1)
    if [ $((SECONDS - started)) -ge "$limit" ]; then
      echo "zendral: apt's package lock was not released within $limit s${holder:+ (held by process $holder)}; run this again once it is." >&2
      exit 1
    fi
    [ "$wait" -gt 0 ] ||
      echo "zendral: another apt holds the package lock${holder:+ (process $holder)}; waiting for it, up to $limit s" >&2
    sleep 2
    wait=$((limit - (SECONDS - started)))
    [ "$wait" -gt 0 ] || wait=1
  done
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
# built: it must run and be CPython 3.6 or later. Sets python_version to its
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
    setting_error "PYTHON=$PYTHON is Python $python_version; zendral builds for CPython 3.6 and later"
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
    # Two names of one interpreter (python3 and python3.11) share the folder,
    # under the name it was configured with.
    local identity
    identity=$(python_identity "$cached")
    if [ "$cached" != "$wanted" ] && [ -n "$wanted" ] && [ -n "$identity" ] &&
      [ "$identity" = "$(python_identity "$wanted")" ]; then
      [ -z "${PYTHON:-}" ] || PYTHON=$cached
    elif [ "$cached" != "$wanted" ]; then
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

# python_identity INTERPRETER: what the interpreter is, whatever it is called:
# its resolved executable, version and prefix (a venv has its own prefix).
# Empty when it does not run.
python_identity() {
  "$1" -c 'import os, sys; print(repr((os.path.realpath(sys.executable), sys.version, sys.prefix)))' 2>/dev/null || true
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

# supported_version X.Y: whether zendral builds for CPython X.Y (3.6 on).
supported_version() { [[ $1 =~ ^3\.([6-9]|[1-9][0-9])$ ]]; }
# The versions tested: pyenv's or PATH's, and the newest from the Debian root.
all_versions="3.6 3.7 3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15"

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

# tools_python [INTERPRETER FOLDER]: a venv in build-tools/ with the pinned
# tools from the index (scripts/tools-requirements.txt); prints its
# interpreter. Made once, with the python3 on PATH (or INTERPRETER, in FOLDER).
tools_python() {
  local venv=${2:-$zendral_root/build-tools} stamp requirements="$zendral_root/scripts/tools-requirements.txt"
  stamp="$venv/requirements.txt"
  if ! cmp -s "$requirements" "$stamp"; then
    rm -rf "$venv"
    "${1:-python3}" -m venv "$venv" >&2
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$requirements" >&2
    cp "$requirements" "$stamp"
  fi
  echo "$venv/bin/python"
}

ncpu() { nproc 2>/dev/null || echo 2; }

# --- A Debian development-suite root for the interpreters pyenv lacks --------
# Made once with debootstrap, kept outside the clone and reused; the clone is
# bind-mounted into it at its own path, so build folders mean the same inside.
root_packages="python3.14-dev python3.15-dev python3.14-venv python3.15-venv g++ make cmake ca-certificates libgtest-dev pkgconf"
root_versions="3.14 3.15"

root_dir() {
  local arch
  arch=$(dpkg --print-architecture 2>/dev/null || echo unknown)
  echo "${ZENDRAL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zendral}/roots/sid-$arch"
}

# archive_uri: the Debian archive apt already uses (not its security one),
# from apt's own source list; nothing when there is none.
archive_uri() {
  {
    sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
    sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
  } | grep -v -e security -e '^$' | grep -m1 -i debian || true
}

# debian_root: sets debian_root to the root, made first when missing (about
# two minutes). On failure sets root_problem to why, says it, and returns 1;
# a half-made root is never left where a later run would take it.
debian_root() {
  local uri started lock
  debian_root=$(root_dir) root_problem=""
  [ -f "$debian_root/.zendral-root" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    root_problem="not root, so no Debian root can be made in $debian_root"
  elif ! command -v debootstrap >/dev/null 2>&1; then
    root_problem="no debootstrap (apt-get install debootstrap)"
  else
    uri=$(archive_uri)
    [ -n "$uri" ] || root_problem="no Debian archive in apt's source list"
  fi
  if [ -z "$root_problem" ]; then
    mkdir -p "${debian_root%/*}"
    # Another script making the same root at once waits for it.
    exec {lock}>"$debian_root.lock"
    flock "$lock"
    if [ ! -f "$debian_root/.zendral-root" ]; then
      echo "zendral: making a Debian sid root in $debian_root from $uri (a few minutes, once)"
      started=$SECONDS
      rm -rf "$debian_root.new"
      if debootstrap --variant=minbase --include="${root_packages// /,}" sid "$debian_root.new" "$uri" \
          >"$debian_root.log" 2>&1; then
        rm -rf "$debian_root"
        echo "$root_packages" >"$debian_root.new/.zendral-root"
        mv "$debian_root.new" "$debian_root"
        echo "zendral: root made in $((SECONDS - started)) s"
      else
        tail -n 5 "$debian_root.log" >&2
        root_problem="debootstrap failed (log: $debian_root.log)"
        rm -rf "$debian_root.new"
      fi
    fi
    exec {lock}>&-
  fi
  [ -z "$root_problem" ] && return 0
  echo "zendral: $root_problem" >&2
  return 1
}

# in_root ROOT COMMAND...: runs COMMAND in ROOT as root, the clone mounted at
# its own path, with /proc, /dev and the host's resolver and CA bundle. The
# mounts live in a mount namespace of their own: they end with the command,
# however it ends, and are never seen outside.
in_root() {
  local root=$1 ca
  shift
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # pip inside trusts what pip outside trusts (a proxy's own CA included).
  ca=${PIP_CERT:-$(python3 -m pip config get global.cert 2>/dev/null || true)}
  [ -f "$ca" ] || ca=/etc/ssl/certs/ca-certificates.crt
  cp "$ca" "$root/etc/zendral-host-ca.pem"
  mkdir -p "$root$zendral_root"
  unshare --mount --propagation private -- sh -ec '
    root=$1 clone=$2; shift 2
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount --bind "$clone" "$root$clone"
    exec chroot "$root" "$@"' sh "$root" "$zendral_root" \
    env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8 \
    TERM="${TERM:-dumb}" PIP_CERT=/etc/zendral-host-ca.pem SSL_CERT_FILE=/etc/zendral-host-ca.pem \
    PIP_DISABLE_PIP_VERSION_CHECK=1 ${http_proxy:+http_proxy=$http_proxy} \
    ${https_proxy:+https_proxy=$https_proxy} ${no_proxy:+no_proxy=$no_proxy} "$@"
}

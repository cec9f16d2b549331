#!/usr/bin/env bash
# The README's two development commands as a newcomer runs them: scripts/demo.sh, then
# scripts/test.sh, in that order, in one fresh copy of the clone, as on a
# machine with Debian's python3 alone (PATH without pyenv, a HOME without
# .pyenv), the case the rest of the suite never meets; with this machine's
# PATH only where it has no such python3 (every other test runs with that
# PATH, and each quick start builds everything once). test.sh runs in a
# short form, its ctest runs limited to a few
# tests by ZENDRAL_TESTS and without the sanitizer build: what is checked is
# that the builds demo.sh left are taken up, not the suites the main build
# runs anyway.
#   check_quickstart.sh SOURCE_DIR
# Exits 77 (skipped) when it cannot run at all: no git or no clone, or
# neither case possible.
set -uo pipefail
source_dir=$(cd "$1" && pwd)
# Run from a test.sh that this check started: not again.
[ -z "${ZENDRAL_QUICKSTART:-}" ] || { echo "SKIPPED: inside a quick-start check"; exit 77; }
command -v git >/dev/null 2>&1 && [ -e "$source_dir/.git" ] ||
  { echo "SKIPPED: no git clone at $source_dir"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The C++ tests come from GoogleTest discovery; one suite of each build is
# enough to show the build ran.
short='^python\.test_exports$|^Bytes'

# fresh_copy FOLDER: the clone's files as git lists them (tracked and new),
# without build folders.
fresh_copy() {
  mkdir -p "$1"
  git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
    tar -C "$source_dir" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$1" -xf -
}

failures=0 ran=0
# quick_start NAME ENV...: demo.sh then test.sh in a fresh copy, with ENV.
quick_start() {
  local name=$1 clone="$work/$1/zendral" home="$work/$1/home" step
  shift
  fresh_copy "$clone"
  mkdir -p "$home"
  ran=$((ran + 1))
  for step in scripts/demo.sh scripts/test.sh; do
    local started=$SECONDS
    (cd "$clone" && env -u PYTHON -u PYTHONPATH -u ZENDRAL_MODULE -u ZENDRAL_PYTHONS -u PYENV_ROOT \
       -u PYENV_VERSION HOME="$home" \
       ZENDRAL_QUICKSTART=1 ZENDRAL_TESTS="$short" ZENDRAL_ASAN=off "$@" $step) >"$work/$name.log" 2>&1
    local status=$?
    echo "$name: $step: exit $status ($((SECONDS - started)) s)"
    if [ "$status" -ne 0 ]; then
      tail -n 30 "$work/$name.log" | sed 's/^/    /'
      failures=$((failures + 1))
      return
    fi
  done
}

# Debian's python3 alone: every pyenv folder off PATH.
debian_path=$(tr ':' '\n' <<<"$PATH" | grep -v -e pyenv -e '^$' | paste -sd: -)
if [ -x /usr/bin/python3 ] && PATH=$debian_path python3 -c 'import sys, venv; sys.exit(sys.version_info < (3, 6))' 2>/dev/null; then
  # Short as the README allows: the version python3 is.
  version=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  quick_start debian-python3 PATH="$debian_path" \
    XDG_CACHE_HOME="${XDG_CACHE_HOME:-$HOME/.cache}" ZENDRAL_PYTHONS="$version"
else
  # pyenv's shims find their versions through HOME unless told where.
  echo "no Debian python3 with venv at /usr/bin/python3: the quick start with this PATH"
  quick_start as-is PYENV_ROOT="${PYENV_ROOT:-$HOME/.pyenv}" XDG_CACHE_HOME="${XDG_CACHE_HOME:-$HOME/.cache}"
fi

[ "$ran" -gt 0 ] || exit 77
[ "$failures" -eq 0 ] || { echo "$failures quick start(s) failed"; exit 1; }
echo "the quick start ran in order"

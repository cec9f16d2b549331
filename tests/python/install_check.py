"""Installs zendral from a copy of the sources the two ways the README gives,
with no package index, and uses each result from another folder.

usage: install_check.py SOURCE_DIR     (run by the interpreter to install for)

1. `python setup.py sdist` in the copy, then `python -m pip install
   --no-index` of that archive into a fresh venv of this interpreter. pip runs
   the same setup.py as for `pip install SRC`, but on the files MANIFEST.in
   names only, so a file the build needs and the sdist lacks fails here. The
   module imports from elsewhere with zendral.pyi beside it, the metadata
   names the license, the supported Pythons and Linux and holds the README,
   Debian's mypy finds the types (typecheck/: correct use passes, each
   misuse gives its error), the `zendral` command converts as the module
   does, and `pip uninstall` takes it all away again.
2. `python setup.py build_ext --inplace` leaves both in the source folder,
   and prints no warning.

pip 23.1 and later build in an isolated environment, fetching setuptools and
wheel, unless `wheel` is installed; the venv then gets it from a local copy:
the folder in $ZENDRAL_WHEELHOUSE, else Debian's python3-wheel-whl. Exits 77
(skipped) when no venv with pip can be made or no such copy is found, or
when no python3 on PATH has mypy (Debian: apt-get install python3-mypy).
"""
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

SKIPPED = 77
TYPECHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typecheck")
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

# Prints where the module came from and what it does, for the checks below.
PROBE = r"""
import json, os, sysconfig, zendral
print(json.dumps({
    "file": os.path.realpath(zendral.__file__),
    "platlib": os.path.realpath(sysconfig.get_path("platlib")),
    "md": zendral.md_to_html(["# T", "- **b**"]),
    "kv": zendral.csv_lines_to_json(["a=1,b"]),
}))
"""

# The installed distribution's metadata: importlib.metadata from Python 3.8,
# pkg_resources before.
METADATA = r"""
import email, json
try:
    from importlib.metadata import metadata
    fields = metadata("zendral")
except ImportError:
    import pkg_resources
    dist = pkg_resources.get_distribution("zendral")
    fields = email.message_from_string(dist.get_metadata(dist.PKG_INFO))
# Older setuptools write the description as a header, its lines indented by 8.
description = (fields["Description"] or "").replace("\n        ", "\n") or fields.get_payload()
print(json.dumps({"license": fields["License"], "summary": fields["Summary"],
                  "classifiers": fields.get_all("Classifier") or [], "description": description}))
"""
CLASSIFIERS = {"License :: OSI Approved :: MIT License", "Operating System :: POSIX :: Linux"} | {
    "Programming Language :: Python :: 3.%d" % minor for minor in range(6, 12)}


class Failed(Exception):
    pass


def clean_env():
    env = dict(os.environ)
    for name in ("PYTHONPATH", "PYTHONHOME", "ZENDRAL_MODULE"):
        env.pop(name, None)
    return env


def run(command, cwd, label=None):
    started = time.time()
    process = subprocess.run(command, cwd=cwd, env=clean_env(), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True)
    print("$ %s  (%.1f s, exit %d)" % (label or " ".join(command), time.time() - started,
                                       process.returncode))
    if process.returncode != 0:
        print(process.stdout)
        raise Failed("command failed: %s" % " ".join(command))
    return process.stdout


def copy_sources(source, target):
    # Only what a clone holds: no build folders or earlier in-place results.
    def ignore(folder, names):
        skipped = {".git", "__pycache__", "dist"}
        if os.path.samefile(folder, source):
            skipped |= {name for name in names if name.startswith("build")
                        or name.startswith("zendral.") or name.endswith(".egg-info")}
        return [name for name in names if name in skipped]
    shutil.copytree(source, target, ignore=ignore)


def wheel_file():
    folder = os.environ.get("ZENDRAL_WHEELHOUSE")
    candidates = []
    if folder:
        candidates = [os.path.join(folder, name) for name in os.listdir(folder)]
    else:
        try:
            candidates = subprocess.check_output(
                ["dpkg-query", "-L", "python3-wheel-whl"], stderr=subprocess.DEVNULL,
                universal_newlines=True).split()
        except (OSError, subprocess.CalledProcessError):
            pass
    found = [path for path in candidates
             if re.match(r"wheel-[0-9.]+-py3-none-any\.whl$", os.path.basename(path))]
    return found[0] if found else None


def probe(python, cwd):
    output = run([python, "-c", PROBE], cwd, "%s -c <import zendral> in %s" % (python, cwd))
    return json.loads(output.splitlines()[-1])


def check_module(found, expected_dir):
    module = found["file"]
    if os.path.dirname(module) != os.path.realpath(expected_dir):
        raise Failed("zendral imported from %s, not from %s" % (module, expected_dir))
    if not module.endswith(SUFFIX):
        raise Failed("%s is not named for this interpreter (%s)" % (module, SUFFIX))
    stub = os.path.join(os.path.dirname(module), "zendral.pyi")
    if not os.path.isfile(stub):
        raise Failed("no zendral.pyi beside %s" % module)
    if found["md"] != ["<h1>T</h1>", "<ul>", "<li><strong>b</strong></li>", "</ul>"] \
            or found["kv"] != ['{"a": "1"}']:
        raise Failed("the installed module converts wrongly: %r" % found)
    return module, stub


def check_command(python, cwd, source):
    """The venv's `zendral` console script must give, from standard input,
    what the installed module gives, and name the installed version. Returns
    the script's path."""
    command = os.path.join(os.path.dirname(python), "zendral")
    if not os.path.isfile(command):
        raise Failed("no zendral command in %s" % os.path.dirname(python))
    with open(os.path.join(source, "CMakeLists.txt")) as cmake_lists:
        version = re.search(r"project\(zendral VERSION ([0-9.]+)", cmake_lists.read()).group(1)
    shown = run([command, "--version"], cwd)
    if shown != "zendral %s\n" % version:
        raise Failed("zendral --version printed %r, not version %s" % (shown, version))
    markdown = b"# T\r\n- **b**\n- \xc3\xa9\n\ntail"
    expected = subprocess.run(
        [python, "-c", "import sys, zendral; sys.stdout.buffer.write(''.join(line + '\\n' "
                       "for line in zendral.md_to_html(sys.stdin.buffer.read().split(b'\\n')))"
                       ".encode())"],
        input=markdown, stdout=subprocess.PIPE, cwd=cwd, env=clean_env(), check=True).stdout
    done = subprocess.run([command, "md"], input=markdown, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, cwd=cwd, env=clean_env())
    print("$ %s md < <markdown>  (exit %d)" % (command, done.returncode))
    if done.returncode != 0 or done.stderr or done.stdout != expected:
        raise Failed("the zendral command gave %r (exit %d, stderr %r), not %r"
                     % (done.stdout, done.returncode, done.stderr, expected))
    return command


def make_sdist(work, source):
    dist = os.path.join(work, "dist")
    run([sys.executable, "setup.py", "sdist", "--dist-dir", dist], source, "setup.py sdist")
    (archive,) = os.listdir(dist)
    print("sdist: %s, %d bytes" % (archive, os.path.getsize(os.path.join(dist, archive))))
    return os.path.join(dist, archive)


def check_metadata(python, work, source):
    found = json.loads(run([python, "-c", METADATA], work, "<read metadata>").splitlines()[-1])
    with open(os.path.join(source, "README.md"), encoding="utf-8") as readme:
        title, first_paragraph = readme.read().split("\n\n")[:2]
    if found["license"] != "MIT" or not found["summary"] \
            or not CLASSIFIERS <= set(found["classifiers"]) \
            or not found["description"].startswith(title + "\n") \
            or first_paragraph not in found["description"]:
        raise Failed("incomplete metadata: %r" % found)


def mypy_python():
    """The first python3 on PATH that has mypy (a pyenv shim may not), or None."""
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        candidate = os.path.join(folder, "python3")
        if os.path.isfile(candidate) and subprocess.run(
                [candidate, "-c", "import mypy"], env=clean_env(),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            return candidate
    return None


def type_check(python, work):
    """Runs mypy on typecheck/*.py against the venv of python: the errors must
    be exactly those the files mark with "# error: TEXT"."""
    if sys.version_info < (3, 7):
        print("type check: not under Python 3.6, whose environments mypy cannot inspect")
        return 0
    checker = mypy_python()
    if not checker:
        print("SKIPPED: type check: no python3 on PATH has mypy (apt-get install python3-mypy)")
        return SKIPPED
    files = sorted(os.path.join(TYPECHECK, name) for name in os.listdir(TYPECHECK)
                   if name.endswith(".py"))
    command = [checker, "-m", "mypy", "--python-executable", python, "--cache-dir", os.devnull,
               "--no-error-summary"] + files
    started = time.time()
    process = subprocess.run(command, cwd=work, env=clean_env(), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True)
    print("$ %s -m mypy ... typecheck/*.py  (%.1f s, exit %d)"
          % (checker, time.time() - started, process.returncode))
    print(process.stdout, end="")
    found = {}
    for line in process.stdout.splitlines():
        match = re.match(r"(.*?):(\d+): error: (.*)$", line)
        if match:
            found.setdefault((os.path.basename(match.group(1)), int(match.group(2))), []).append(
                match.group(3))
    wanted = {}
    for path in files:
        with open(path, encoding="utf-8") as source:
            for number, line in enumerate(source, 1):
                match = re.search(r"# error: (.*)$", line)
                if match:
                    wanted[(os.path.basename(path), number)] = match.group(1)
    wrong = sorted(set(found) ^ set(wanted)) + [
        place for place in wanted if place in found
        and not any(wanted[place] in error for error in found[place])]
    if process.returncode not in (0, 1) or wrong:
        raise Failed("mypy's errors differ from the marked ones at %s" % wrong)
    return 0


def pip_install(work, source):
    env_dir = os.path.join(work, "env")
    try:
        run([sys.executable, "-m", "venv", env_dir], work)
    except Failed:
        print("SKIPPED: this interpreter cannot make a venv with pip "
              "(on Debian: apt-get install python3-venv)")
        return SKIPPED
    python = os.path.join(env_dir, "bin", "python")
    pip = [python, "-m", "pip", "--disable-pip-version-check"]
    pip_version = run([python, "-c", "import pip; print(pip.__version__)"], work).strip()
    has_wheel = run([python, "-c", "import importlib.util as u; print(bool(u.find_spec('wheel')))"],
                    work).strip() == "True"
    print("pip %s, wheel %s" % (pip_version, "installed" if has_wheel else "not installed"))
    if tuple(int(part) for part in pip_version.split(".")[:2]) >= (23, 1) and not has_wheel:
        wheel = wheel_file()
        if not wheel:
            print("SKIPPED: pip %s needs the wheel package to build offline and no copy was "
                  "found (apt-get install python3-wheel-whl, or set ZENDRAL_WHEELHOUSE)"
                  % pip_version)
            return SKIPPED
        run(pip + ["install", "--no-index", wheel], work)

    run(pip + ["install", "--no-index", make_sdist(work, source)], work)
    elsewhere = os.path.join(work, "elsewhere")
    os.mkdir(elsewhere)
    found = probe(python, elsewhere)
    if not found["platlib"].startswith(os.path.realpath(env_dir) + os.sep):
        raise Failed("the venv's site folder %s is outside it" % found["platlib"])
    module, stub = check_module(found, found["platlib"])
    stub_package = os.path.join(found["platlib"], "zendral-stubs")
    if not os.path.isfile(os.path.join(stub_package, "__init__.pyi")):
        raise Failed("no zendral-stubs/__init__.pyi in %s" % found["platlib"])
    print("installed %s, %s and zendral-stubs" % (module, os.path.basename(stub)))
    command = check_command(python, elsewhere, source)
    check_metadata(python, elsewhere, source)
    status = type_check(python, elsewhere)

    run(pip + ["uninstall", "-y", "zendral"], work)
    left = [path for path in (module, stub, stub_package, command,
                              os.path.join(found["platlib"], "zendral_cli"))
            if os.path.exists(path)]
    if left:
        raise Failed("pip uninstall left %s" % left)
    return status


def build_in_place(source):
    output = run([sys.executable, "setup.py", "build_ext", "--inplace"], source)
    # A normal build is quiet: a warning from the compiler, linker or
    # lto-wrapper would hide among any number of its like.
    warnings = [line for line in output.splitlines() if re.search(r"(^|\s)warning:", line)]
    if warnings:
        raise Failed("the build warned:\n" + "\n".join(warnings))
    found = probe(sys.executable, source)
    module, stub = check_module(found, source)
    print("built in place: %s and %s" % (os.path.basename(module), os.path.basename(stub)))


def main():
    print("Python %s" % sys.version.split()[0])
    with tempfile.TemporaryDirectory(prefix="zendral-install-") as work:
        source = os.path.join(work, "src")
        copy_sources(os.path.abspath(sys.argv[1]), source)
        try:
            status = pip_install(work, source)
            build_in_place(source)
        except Failed as error:
            print("FAILED: %s" % error)
            return 1
    return status


if __name__ == "__main__":
    sys.exit(main())

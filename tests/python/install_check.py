"""Installs zendral from a copy of the sources as a user does, `python -m pip
install SRC` with pip's default build isolation (the build requirements come
from the package index), and uses it from another folder.

usage: install_check.py SOURCE_DIR     (run by the interpreter to install for)

The module imports from elsewhere with zendral.pyi beside it and the stub
package zendral-stubs, the metadata names the license, the supported Pythons
and Linux and holds the README, mypy finds the types (typecheck/: correct use
passes, each misuse gives its error), the `zendral` command converts as the
module does, the build printed no compiler warning, and `pip uninstall` takes
it all away again. A pip too old for PEP 517 (3.6's
18.1) is first upgraded in the venv, as the README says.

mypy is run by $ZENDRAL_MYPY_PYTHON, else the first python3 on PATH that has
it. Exits 77 (skipped) when no venv with pip can be made or no mypy is found.
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
    "Programming Language :: Python :: 3.%d" % minor for minor in range(6, 16)}


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


def probe(python, cwd):
    output = run([python, "-c", PROBE], cwd, "%s -c <import zendral> in %s" % (python, cwd))
    return json.loads(output.splitlines()[-1])


def site_folder(python, cwd):
    return run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"], cwd).strip()


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
    # A run starts without `re`, which pip's wrapper for an entry point imports.
    verbose = subprocess.run([python, "-v", command, "kv"], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=cwd, env=clean_env())
    if re.search(rb"^import 're'", verbose.stderr, re.M):
        raise Failed("the zendral command imports re as it starts")
    return command


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
    """$ZENDRAL_MYPY_PYTHON, else the first python3 on PATH that has mypy (a
    pyenv shim may not), or None."""
    if os.environ.get("ZENDRAL_MYPY_PYTHON"):
        return os.environ["ZENDRAL_MYPY_PYTHON"]
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        candidate = os.path.join(folder, "python3")
        if os.path.isfile(candidate) and subprocess.run(
                [candidate, "-c", "import mypy"], env=clean_env(),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            return candidate
    return None


def checker_version(checker):
    return subprocess.check_output([checker, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                                   env=clean_env(), universal_newlines=True).strip()


def type_check(python, work):
    """Runs mypy on typecheck/*.py against the venv of python."""
    if sys.version_info < (3, 7):
        print("type check: not under Python 3.6, whose environments mypy cannot inspect")
        return 0
    # The venv only tells mypy where the packages are; the code is checked as
    # mypy's own Python reads it, so any venv's version will do.
    return marked_errors(["--python-executable", python], work, clean_env())


def marked_errors(where, cwd, env):
    """Runs mypy on typecheck/*.py, finding zendral as the mypy arguments
    `where` say: the errors must be exactly those the files mark with
    "# error: TEXT". Returns 0, or SKIPPED when there is no mypy."""
    checker = mypy_python()
    if not checker:
        print("SKIPPED: type check: no mypy (set ZENDRAL_MYPY_PYTHON to a python that has it)")
        return SKIPPED
    files = sorted(os.path.join(TYPECHECK, name) for name in os.listdir(TYPECHECK)
                   if name.endswith(".py"))
    command = [checker, "-m", "mypy"] + where + ["--python-version", checker_version(checker),
                                                 "--cache-dir", os.devnull, "--no-error-summary"] + files
    started = time.time()
    process = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
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
        and not any(wanted[place].lower() in error.lower() for error in found[place])]  # List or list
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
    if tuple(int(part) for part in pip_version.split(".")[:2]) < (21, 3):
        # pip 18.1 would take a pip that no longer runs on 3.6: 21.3.1 is the last.
        run(pip + ["install", "--upgrade", "pip>=21.3,<22"], work)
    before = set(os.listdir(site_folder(python, work)))
    output = run(pip + ["install", "-v", source], work, "pip install -v SRC")
    # A normal build is quiet: a warning from the compiler, linker or
    # lto-wrapper ("file:line: warning:", "lto-wrapper: warning:") would hide
    # among any number of its like. setuptools' own notes are not the build's.
    warnings = [line for line in output.splitlines() if re.search(r"\S: warning:", line)]
    if warnings:
        raise Failed("the build warned:\n" + "\n".join(warnings))
    elsewhere = os.path.join(work, "elsewhere")
    os.mkdir(elsewhere)
    found = probe(python, elsewhere)
    if not found["platlib"].startswith(os.path.realpath(env_dir) + os.sep):
        raise Failed("the venv's site folder %s is outside it" % found["platlib"])
    module, stub = check_module(found, found["platlib"])
    stub_package = os.path.join(found["platlib"], "zendral-stubs")
    if not os.path.isfile(os.path.join(stub_package, "__init__.pyi")):
        raise Failed("no zendral-stubs/__init__.pyi in %s" % found["platlib"])
    added = set(os.listdir(found["platlib"])) - before
    document = os.path.basename(module).replace("zendral", "zendral_document", 1)
    expected = {os.path.basename(module), "zendral.pyi", "zendral-stubs", "zendral_cli",
                document, "zendral_document.pyi", "zendral_document-stubs"}
    if {name for name in added if not name.endswith(".dist-info")} != expected:
        raise Failed("pip installed %s, not just %s" % (sorted(added), sorted(expected)))
    print("installed %s, %s and zendral-stubs" % (module, os.path.basename(stub)))
    command = check_command(python, elsewhere, source)
    check_metadata(python, elsewhere, source)
    status = type_check(python, elsewhere)

    run(pip + ["uninstall", "-y", "zendral"], work)
    left = [path for path in (module, stub, stub_package, command,
                              os.path.join(found["platlib"], document),
                              os.path.join(found["platlib"], "zendral_document-stubs"),
                              os.path.join(found["platlib"], "zendral_cli"))
            if os.path.exists(path)]
    if left:
        raise Failed("pip uninstall left %s" % left)
    return status


def main():
    print("Python %s" % sys.version.split()[0])
    with tempfile.TemporaryDirectory(prefix="zendral-install-") as work:
        source = os.path.join(work, "src")
        copy_sources(os.path.abspath(sys.argv[1]), source)
        try:
            status = pip_install(work, source)
        except Failed as error:
            print("FAILED: %s" % error)
            return 1
    return status


if __name__ == "__main__":
    sys.exit(main())

"""Runs the shell commands that README.md and docs/*.md mark as runnable, as
a newcomer would: in a copy of the sources as a clone holds them (tracked and
new files, no build folders), from its root, with bash -e. A runnable block is
a ```sh fence on the line after <!-- runnable -->; the blocks run in page
order and share the copy, so a later block may use what an earlier one made.

usage: check_docs.py SOURCE_DIR

HOME is a scratch folder for the run (pip's cache and pyenv stay where they
were), so a command that installs under ~ touches nothing outside the copy.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

MARK = "<!-- runnable -->"


def runnable_blocks(path):
    with open(path, encoding="utf-8") as page:
        lines = page.read().split("\n")
    blocks = []
    for number, line in enumerate(lines):
        if line.strip() == MARK:
            if number + 1 >= len(lines) or lines[number + 1].strip() != "```sh":
                raise SystemExit("%s:%d: %s is not followed by a ```sh block" % (path, number + 1, MARK))
            end = lines.index("```", number + 2)
            blocks.append((number + 3, "\n".join(lines[number + 2:end])))
    return blocks


def copy_clone(source, target):
    listed = subprocess.check_output(
        ["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"])
    for name in sorted(set(listed.decode().split("\0")) - {""}):
        origin = os.path.join(source, name)
        if not os.path.isfile(origin):  # deleted but not yet committed
            continue
        os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
        shutil.copy2(origin, os.path.join(target, name))


def main():
    source = os.path.abspath(sys.argv[1])
    pages = [os.path.join(source, "README.md")] + sorted(
        os.path.join(source, "docs", name) for name in os.listdir(os.path.join(source, "docs"))
        if name.endswith(".md"))
    failures = 0
    with tempfile.TemporaryDirectory(prefix="zendral-docs-") as work:
        clone, home = os.path.join(work, "zendral"), os.path.join(work, "home")
        os.mkdir(home)
        copy_clone(source, clone)
        real_home = os.path.expanduser("~")
        env = dict(os.environ, HOME=home, XDG_CACHE_HOME=os.environ.get(
            "XDG_CACHE_HOME", os.path.join(real_home, ".cache")))
        if os.path.isdir(os.path.join(real_home, ".pyenv")):  # pyenv's shims find it through HOME
            env.setdefault("PYENV_ROOT", os.path.join(real_home, ".pyenv"))
        for name in ("PYTHONPATH", "ZENDRAL_MODULE", "PYTHON"):
            env.pop(name, None)
        for page in pages:
            for line, block in runnable_blocks(page):
                where = "%s:%d" % (os.path.relpath(page, source), line)
                started = time.time()
                process = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", block], cwd=clone, env=env,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                         universal_newlines=True)
                print("%s: exit %d (%.0f s)" % (where, process.returncode, time.time() - started))
                if process.returncode != 0:
                    failures += 1
                    print(block)
                    print(process.stdout[-4000:])
    print("%d runnable block(s) failed" % failures if failures else "every runnable block ran")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

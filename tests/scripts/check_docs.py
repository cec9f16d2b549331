"""Checks what the pages say against the files that ship, then runs the shell
commands that README.md and docs/*.md mark as runnable.

First, in the pages (README.md, CONTRIBUTING.md, CHANGELOG.md, docs/*.md):
every link to a file or heading leads to one in the clone, and every
`examples/...` path they name is in the clone and in the sdist (as setup.py
egg_info lists it), since a user may hold either; the README's own links must
be in the sdist too. Then the runnable blocks, as a newcomer would run them:
in a copy of the sources as a clone holds them (tracked and new files, no
build folders), from its root, with bash -e. A runnable block is a ```sh
fence on the line after <!-- runnable -->; the blocks run in page order and
share the copy, so a later block may use what an earlier one made.

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
FENCE = re.compile(r"^```.*?^```[ \t]*$", re.M | re.S)
CODE_SPAN = re.compile(r"(`+).*?\1", re.S)
LINK = re.compile(r"\]\(([^()\s]+)\)")
HEADING = re.compile(r"^#{1,6} +(.*?) *#* *$", re.M)
EXAMPLE = re.compile(r"(?<![\w./-])examples/[\w./-]*[\w/]")


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


def anchors(text):
    """The anchors a Markdown renderer gives the page's headings (GitHub's
    rule: lower case, punctuation dropped, spaces as hyphens, repeats
    numbered)."""
    found, seen = set(), {}
    for heading in HEADING.findall(FENCE.sub("", text)):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else "%s-%d" % (slug, count))
    return found


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def link_faults(page, text, listed, shipped, read):
    """Links outside code to files or headings that are not there; from the
    README, the front page of the sdist, links to files it does not hold."""
    faults = []
    folder = os.path.dirname(page)
    prose = CODE_SPAN.sub(lambda match: " " * len(match.group()),
                          FENCE.sub(lambda match: re.sub(r"[^\n]", " ", match.group()), text))
    for match in LINK.finditer(prose):
        target = match.group(1)
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        path = os.path.normpath(os.path.join(folder, path)) if path else page
        where = "%s:%d: %s" % (page, line_of(text, match.start()), target)
        if path not in listed and not any(name.startswith(path + "/") for name in listed):
            faults.append("%s: no such file in the clone" % where)
        elif anchor and path.endswith(".md") and anchor not in anchors(read(path)):
            faults.append("%s: no such heading" % where)
        elif page == "README.md" and path not in shipped \
                and not any(name.startswith(path + "/") for name in shipped):
            faults.append("%s: not in the sdist, whose front page the README is" % where)
    return faults


def example_faults(page, text, listed, shipped):
    faults = []
    for match in EXAMPLE.finditer(text):
        path = match.group().rstrip("/.")
        for files, where in ((listed, "the clone"), (shipped, "the sdist")):
            if path not in files and not any(name.startswith(path + "/") for name in files):
                faults.append("%s:%d: %s is not in %s" % (page, line_of(text, match.start()), path, where))
    return faults


def sdist_files(source, work):
    """The files `setup.py sdist` would pack, as egg_info lists them."""
    egg_base = os.path.join(work, "egg-info")
    os.mkdir(egg_base)
    subprocess.run([sys.executable, "setup.py", "-q", "egg_info", "--egg-base", egg_base],
                   cwd=source, check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(egg_base, "zendral.egg-info", "SOURCES.txt"), encoding="utf-8") as names:
        return set(names.read().split("\n")) - {""}


def page_faults(source, clone, work):
    """Faults of the pages of source; clone: its copy, from which the sdist
    would be made."""
    listed = set(clone_files(source))
    shipped = sdist_files(clone, work)
    pages = ["README.md", "CONTRIBUTING.md", "CHANGELOG.md"] + sorted(
        "docs/" + name for name in os.listdir(os.path.join(source, "docs")) if name.endswith(".md"))

    def read(page):
        with open(os.path.join(source, page), encoding="utf-8") as text:
            return text.read()
    faults = []
    for page in pages:
        faults += link_faults(page, read(page), listed, shipped, read)
        if page == "README.md" or page.startswith("docs/"):
            faults += example_faults(page, read(page), listed, shipped)
    return faults


def clone_files(source):
    listed = subprocess.check_output(
        ["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"])
    return [name for name in sorted(set(listed.decode().split("\0")) - {""})
            if os.path.isfile(os.path.join(source, name))]  # not deleted but not yet committed


def copy_clone(source, target):
    for name in clone_files(source):
        origin = os.path.join(source, name)
        os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
        shutil.copy2(origin, os.path.join(target, name))


def main():
    source = os.path.abspath(sys.argv[1])
    pages = [os.path.join(source, "README.md")] + sorted(
        os.path.join(source, "docs", name) for name in os.listdir(os.path.join(source, "docs"))
        if name.endswith(".md"))
    with tempfile.TemporaryDirectory(prefix="zendral-docs-") as work:
        clone, home = os.path.join(work, "zendral"), os.path.join(work, "home")
        os.mkdir(home)
        copy_clone(source, clone)
        faults = page_faults(source, clone, work)
        for fault in faults:
            print(fault)
        print("%d fault(s) in the pages' links and paths" % len(faults) if faults
              else "every link and examples/ path leads to a file that ships")
        failures = 0
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
    return 1 if failures or faults else 0


if __name__ == "__main__":
    sys.exit(main())

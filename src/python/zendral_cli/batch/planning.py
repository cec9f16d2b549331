"""Which files a batch converts, into which outputs, and which it skips."""
import collections
import fnmatch
import os
import stat

from .. import convert, outputs
from ..options import KEY_VALUE, MARKDOWN
from . import Failure

MARKDOWN_GLOBS = ("*.md", "*.markdown")
KEY_VALUE_GLOBS = ("*.log", "*.kv")
# Stripped from a Markdown file's name before ".html" is added.
MARKDOWN_EXTENSIONS = (".md", ".markdown")
NO_EXTENSION = ""


class Job(object):
    __slots__ = ("kind", "source", "target", "size")

    def __init__(self, kind, source, target, size):
        self.kind, self.source, self.target, self.size = kind, source, target, size


class Plan(object):
    """jobs: largest first, so that a long file does not start last;
    skipped: how many files were left alone, by extension (lower case, ""
    for none); clashes: (job, the other input with the same output)."""

    def __init__(self, jobs, skipped, clashes):
        self.jobs, self.skipped, self.clashes = jobs, skipped, clashes


def kind_of(name, md_globs, kv_globs):
    """Markdown, key=value or None, by the file name in any case."""
    folded = name.lower()
    for kind, globs in ((MARKDOWN, md_globs), (KEY_VALUE, kv_globs)):
        if any(fnmatch.fnmatchcase(folded, glob.lower()) for glob in globs):
            return kind
    return None


def output_name(kind, relative):
    if kind == KEY_VALUE:
        return relative + ".jsonl"
    stem, extension = os.path.splitext(relative)
    return (stem if extension.lower() in MARKDOWN_EXTENSIONS else relative) + ".html"


def extension_of(name):
    return os.path.splitext(name)[1].lower()


def check_folders(input_dir, output_dir):
    if not os.path.isdir(input_dir):
        raise Failure("%s: %s" % (input_dir, "not a folder" if os.path.exists(input_dir)
                                  else "No such file or directory"))
    if os.path.realpath(input_dir) == os.path.realpath(output_dir):
        raise Failure("the output folder must differ from the input folder", 2)
    if os.path.realpath(input_dir).startswith(os.path.join(os.path.realpath(output_dir), "")):
        # Its outputs could land on its inputs (data/x.log.jsonl from
        # data/data/x.log), replacing them.
        raise Failure("the output folder must not hold the input folder", 2)


def walk(input_dir, output_dir):
    """(source path, relative path, name, its stat) of every regular file
    under input_dir, in name order, outside output_dir."""
    skip = os.path.realpath(output_dir)

    def unreadable(error):  # a folder left out silently would look like success
        raise Failure("%s: %s" % (error.filename, error.strerror))

    for folder, subfolders, files in os.walk(input_dir, onerror=unreadable):
        subfolders[:] = sorted(name for name in subfolders
                               if os.path.realpath(os.path.join(folder, name)) != skip)
        inside = os.path.relpath(folder, input_dir)
        for name in sorted(files):
            source = os.path.join(folder, name)
            try:
                found = os.stat(source)
            except OSError:  # a broken link
                continue
            if stat.S_ISREG(found.st_mode):  # not a pipe, a socket
                yield source, os.path.normpath(os.path.join(inside, name)), name, found


def plan(input_dir, output_dir, md_globs=None, kv_globs=None):
    """The Plan for input_dir; creates the output folders."""
    md_globs = MARKDOWN_GLOBS if md_globs is None else md_globs
    kv_globs = KEY_VALUE_GLOBS if kv_globs is None else kv_globs
    input_dir, output_dir = os.path.abspath(input_dir), os.path.abspath(output_dir)
    check_folders(input_dir, output_dir)
    jobs, inputs, skipped, clashes, by_target = [], set(), collections.Counter(), [], {}
    for source, relative, name, found in walk(input_dir, output_dir):
        kind = kind_of(name, md_globs, kv_globs)
        if kind is None:
            skipped[extension_of(name)] += 1
            continue
        job = Job(kind, source, os.path.join(output_dir, output_name(kind, relative)),
                  found.st_size)
        if job.target in by_target:  # a.md beside a.markdown: one a.html
            clashes.append((job, by_target[job.target].source))
            continue
        by_target[job.target] = job
        inputs.add((found.st_dev, found.st_ino))
        jobs.append(job)
    # A link in OUTPUT to a file in INPUT, say.
    if outputs.input_ids(job.target for job in jobs) & inputs:
        for job in jobs:
            if outputs.input_ids([job.target]) & inputs:
                raise Failure("%s: cannot write: it is also an input" % job.target)
    os.makedirs(output_dir, exist_ok=True)
    for folder in sorted(set(os.path.dirname(job.target) for job in jobs)):
        os.makedirs(folder, exist_ok=True)
    jobs.sort(key=lambda job: -job.size)
    return Plan(jobs, skipped, clashes)


def remove_temporaries(jobs):
    """Removes the temporary files that writers no longer running left
    beside the jobs' targets (convert.remove_temporaries), looking only
    where there can be one: a folder that holds a hidden temporary name, a
    target that is a link. Resolving every target costs more than a file."""
    folders = collections.defaultdict(list)
    for job in jobs:
        folders[os.path.dirname(job.target)].append(job.target)
    for folder, targets in folders.items():
        try:
            names = set(os.listdir(folder))
        except OSError:
            continue
        if not any(name.startswith(".") and name.endswith(outputs.SUFFIX) for name in names):
            targets = [target for target in targets
                       if os.path.basename(target) in names and os.path.islink(target)]
        convert.remove_temporaries(targets)

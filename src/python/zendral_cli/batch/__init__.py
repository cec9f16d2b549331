"""`zendral batch`: converts the files of a folder that it knows into
another folder, on every core or across machines.

Every file under INPUT (recursively) whose name matches a Markdown glob
(*.md, *.markdown) or a key=value glob (*.log, *.kv), in any case, becomes
one file under OUTPUT at the same relative place: NAME.md becomes NAME.html,
NAME.log becomes NAME.log.jsonl. Other files are skipped and counted.

One task converts one whole file and writes its output itself, under a
temporary name renamed into place, so that a reader never sees half a file
and a task run again after a lost worker is harmless. A file that fails is
reported and has no output; the others go on.

planning: which files, into which outputs; progress: what is told; an engine
each: serial, processes (a pool on this machine), cluster (Dask distributed,
imported only then, with zendral installed on every worker)."""
import os
import sys


class Failure(Exception):
    """Stops a whole run, not one file: (message, exit status)."""

    def __init__(self, message, status=1):
        Exception.__init__(self, message)
        self.status = status


from ..options import Options  # noqa: E402  (after Failure, which the modules below take)
from ..process import is_terminal  # noqa: E402
from .planning import plan, remove_temporaries  # noqa: E402
from .progress import Progress  # noqa: E402

ENGINES = ("serial", "processes", "cluster")


def run(input_dir, output_dir, *, engine="processes", workers=None, scheduler=None,
        show_progress=None, options=None, md_globs=None, kv_globs=None):
    """Converts input_dir into output_dir. Returns the Progress: .failures,
    the files that failed, and .skipped, the files left alone by extension.
    Raises Failure when the run cannot start, or when the cluster fails as a
    whole. options: an Options (escape, page, css); md_globs, kv_globs: the
    file names to take as Markdown and as key=value, instead of the usual."""
    if engine not in ENGINES:
        raise ValueError("unknown engine %r" % engine)
    options = Options() if options is None else options
    if engine == "cluster":
        from . import cluster
        cluster.check(scheduler)
    found = plan(input_dir, output_dir, md_globs, kv_globs)
    # Left by a run that was killed (SIGKILL, a power cut): only the
    # temporary names of these targets, of writers no longer running.
    remove_temporaries(found.jobs)
    progress = Progress(found, is_terminal(sys.stderr) if show_progress is None
                        else show_progress)
    if engine == "serial":
        from . import serial
        serial.run(found.jobs, progress, options)
    elif engine == "processes":
        from . import processes
        processes.run(found.jobs, workers or os.cpu_count() or 1, progress, options)
    else:
        cluster.run(found.jobs, workers or os.cpu_count() or 1, scheduler, progress, options)
    progress.finish()
    return progress

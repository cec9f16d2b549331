"""One task: one whole file converted and written by whoever runs it (this
process, a pool worker, a Dask worker), returning counts, never lines: a
list of strings sent back costs far more than the conversion."""
import os

from .. import convert


class ReadError(Exception):
    """An OSError of the source, carried past the handler for the target's."""


class WorkerDied(convert.ConversionError):
    pass


def convert_file(job, options):
    """Converts job.source into job.target, written under a temporary name
    and renamed into place. Returns (input bytes, output lines, output
    bytes)."""
    # The source is opened first: a file that cannot be read fails as such,
    # before any output exists.
    descriptor = os.open(job.source, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        try:
            with convert.AtomicFile(job.target) as out:
                try:
                    # The page's title when the document has no heading: the
                    # file's name, which the converter cannot see in a descriptor.
                    counts = convert.convert_file(job.kind, descriptor, out.file.fileno(),
                                                  options, os.path.basename(job.source))
                except OSError as error:
                    if error.filename == descriptor:  # the reading, not the writing
                        raise ReadError(error)
                    raise
                out.commit()
        except OSError as error:  # a full disk, say: name the file it concerns
            raise convert.ConversionError("cannot write %s: %s"
                                          % (job.target, convert.describe(error)))
        except ReadError as error:
            raise error.args[0]
    finally:
        os.close(descriptor)
    return counts


def convert_files(jobs, options):
    """Several small files in one task (a task costs the pool's parent more
    than such a file): for each, its counts or its error, as text that
    pickles whatever the error was."""
    results = []
    for job in jobs:
        try:
            results.append(convert_file(job, options))
        except Exception as error:  # reported per file; the others go on
            results.append(convert.ConversionError(convert.describe(error)))
    return results

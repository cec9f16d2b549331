"""The serial engine: one file after another, in this process."""
from .task import convert_file


def run(jobs, progress, options):
    for job in jobs:
        try:
            counts = convert_file(job, options)
        except Exception as error:  # reported per file; the others go on
            progress.failed(job, error)
        else:
            progress.done(job, counts)

"""What a batch tells while it runs, and what it tells at the end."""
import sys
import time

from .. import convert
from ..process import is_terminal, tell


class Progress(object):
    """Counts files done, failed and skipped. When shown: files done / total
    and MB/s on stderr, one line rewritten in place on a terminal, a line
    every few seconds otherwise, and a summary at the end. Failures, and the
    files skipped, are always told."""

    def __init__(self, plan, show, stream=None):
        self.total_files = len(plan.jobs) + len(plan.clashes)
        self.total_bytes = sum(job.size for job in plan.jobs)
        self.skipped = dict(plan.skipped)
        # Best effort: stderr closed (2>&-) or failing never stops the work.
        self.stream = stream or sys.stderr
        self.visible = show and self.stream is not None
        self.live = self.visible and is_terminal(self.stream)
        self.files = self.bytes = 0
        self.failures = []
        self.began = time.monotonic()
        self.start()
        for job, other in plan.clashes:
            self.failed(job, convert.ConversionError(
                "its output %s is also that of %s" % (job.target, other)))

    def start(self):
        self.started = self.shown = self.last = time.monotonic()

    def note(self, text):
        if self.visible:
            self.write("zendral: %s\n" % text)

    def write(self, text):
        if not tell(text, self.stream):
            self.visible = self.live = False

    def done(self, job, counts):
        self.files += 1
        self.bytes += counts[0]
        self.last = time.monotonic()
        self.show()

    def failed(self, job, error):
        self.failures.append((job, error))
        self.last = time.monotonic()
        self.show(force=True)
        self.write("%szendral: FAILED %s: %s\n" % (
            "\n" if self.live else "", job.source, convert.describe(error)))

    def rate(self, final=False):
        elapsed = max((self.last if final else time.monotonic()) - self.started, 1e-9)
        return elapsed, self.bytes / 1e6 / elapsed

    def show(self, force=False):
        now = time.monotonic()
        if not self.visible or not force and now - self.shown < (0.2 if self.live else 5.0):
            return
        self.shown = now
        elapsed, rate = self.rate()
        line = "%d/%d files  %.1f/%.1f MB  %.1f MB/s  %.1f s" % (
            self.files + len(self.failures), self.total_files, self.bytes / 1e6,
            self.total_bytes / 1e6, rate, elapsed)
        self.write(("\r" + line + "\033[K") if self.live else line + "\n")

    def skipped_text(self):
        """"skipped 3 files: 1 .png, 1 .txt, 1 without extension", or ""."""
        count = sum(self.skipped.values())
        if not count:
            return ""
        kinds = sorted(self.skipped.items(), key=lambda item: (-item[1], not item[0], item[0]))
        return "skipped %d file%s: %s" % (count, "" if count == 1 else "s", ", ".join(
            "%d %s" % (number, extension or "without extension") for extension, number in kinds))

    def finish(self):
        skipped = self.skipped_text()
        if not self.visible:
            if skipped:
                self.write("zendral: %s\n" % skipped)
            return
        self.show(force=True)
        if self.live:
            self.write("\n")
        elapsed, rate = self.rate(final=True)
        self.note("converted %d of %d files, %.1f MB in %.2f s (%.1f MB/s); %.2f s in all, "
                  "%d failed%s" % (self.files, self.total_files, self.bytes / 1e6, elapsed, rate,
                                   time.monotonic() - self.began, len(self.failures),
                                   "; " + skipped if skipped else ""))

"""Adversarial inputs, each converted in a child process with a generous time
bound: a conversion that is quadratic or recurses per byte fails here loudly
(by timing out or crashing the child) instead of hanging the suite. How fast
the conversions are is measured by the benchmarks, not here."""
import os
import subprocess
import sys
import unittest

BOUND_SECONDS = 10

# name -> (function, Python expression building the argument, expected result length)
CASES = {
    "only asterisks": ("md_to_html", "['*' * 1000000]", 1),
    "strong pairs": ("md_to_html", "['**a' * 1000000]", 1),
    "strong opener then single asterisks": ("md_to_html", "['**' + '*a' * 1000000]", 1),
    "emphasis pairs before one LF": ("md_to_html", "['*a' * 1000000 + '\\n']", 1),
    "emphasis pairs before one CR": ("md_to_html", "['*a' * 1000000 + '\\r']", 1),
    "underscore pairs": ("md_to_html", "['_a' * 1000000]", 1),
    "double underscores, single closers": ("md_to_html", "['__a_' * 1000000]", 1),
    "underscores only": ("md_to_html", "['_' * 1000000]", 1),
    "backticks only": ("md_to_html", "['`' * 1000000]", 1),
    "asterisks split by LF": ("md_to_html", "['*a\\n' * 1000000]", 1),
    "strong openers split by CR": ("md_to_html", "['**\\r' * 1000000]", 1),
    "one span of a million bytes": ("md_to_html", "['*' + 'a' * 1000000 + '*']", 1),
    "a span across CRs": ("md_to_html", "['_' + 'a\\r' * 500000 + '_']", 1),
    "number signs": ("md_to_html", "['#' * 1000000 + ' x']", 1),
    "alternating lists": ("md_to_html", "['- a', 'b'] * 150000", 600000),
    "one long list": ("md_to_html", "['- *a*'] * 300000", 300002),
    "many fields": ("csv_lines_to_json", "['k=v,' * 1000000]", 1),
    "equals only": ("csv_lines_to_json", "['=' * 1000000]", 1),
    "commas only": ("csv_lines_to_json", "[',' * 1000000]", 1),
    "many lines": ("csv_lines_to_json", "['a=1,b'] * 1000000", 1000000),
}

CHILD = r"""
import sys, time, zendral
argument = {argument}
started = time.perf_counter()
result = zendral.{function}(argument)
elapsed = time.perf_counter() - started
assert len(result) == {expected}, len(result)
print("%.3f s" % elapsed)
"""


class Pathological(unittest.TestCase):
    def test_each_case_finishes_within_the_bound(self):
        for name, (function, argument, expected) in sorted(CASES.items()):
            with self.subTest(case=name):
                code = CHILD.format(function=function, argument=argument, expected=expected)
                try:
                    child = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, timeout=BOUND_SECONDS,
                                           env=os.environ)
                except subprocess.TimeoutExpired:
                    self.fail("%s: no result within %d s" % (name, BOUND_SECONDS))
                self.assertEqual(child.returncode, 0,
                                 "%s: child ended with %d\n%s" % (name, child.returncode,
                                                                 child.stderr.decode(errors="replace")))
                print("%-36s %s" % (name, child.stdout.decode().strip()), file=sys.stderr)


if __name__ == "__main__":
    unittest.main()

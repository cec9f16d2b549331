"""zendral against the same converters behind pybind11's own list and string
casters (zendral_list_path, built for the tests): random argument lists of
str, bytes and bytearray items, holding multi-byte text, line breaks, NUL and
bytes that are not UTF-8 (some reaching the output, some dropped with a field
that has no "="), and now and then an item of the wrong type, must give the
same list, or the same exception with the same text."""
import collections
import os
import random
import tempfile
import unittest

import zendral_list_path as list_path
from support import zendral

PIECES = ["a", "key", "=", "=", ",", ",", " ", "*", "**", "_", "__", "`", "# ", "- ", "<p>",
          "\u00e9", "\u20ac", "\U0001F600", "\n", "\r", "\x00"]
NOT_UTF8 = [b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\x80", b"\xe0\x9f\xbf",
            b"\xf0\x8f\xbf\xbf", b"\xf5\x80\x80\x80", b"\xe2\x82"]
WRONG_ITEMS = [7, None, "a=\ud800"]


def random_item(rng):
    text = "".join(rng.choice(PIECES) for _ in range(rng.randrange(16)))
    if rng.random() < 0.01:
        return rng.choice(WRONG_ITEMS)
    kind = rng.randrange(3)
    if kind == 0:
        return text
    data = text.encode()
    if rng.random() < 0.2:
        at = rng.randrange(len(data) + 1)
        data = data[:at] + rng.choice(NOT_UTF8) + data[at:]
    return data if kind == 1 else bytearray(data)


def outcome(function, argument):
    try:
        return ("list", function(argument))
    except Exception as error:  # the outcome compared between the two
        return (type(error).__name__, str(error))


def reference(function, argument):
    """The list path's outcome, with the type names that pybind11 3 renders
    for its own casters written as zendral's signature has them."""
    kind, value = outcome(function, argument)
    if kind == "TypeError":
        for newer in ("collections.abc.Sequence[str]", "list[str]"):
            value = value.replace(newer, "List[str]")
    return kind, value


class SameAsTheListPath(unittest.TestCase):
    def test_random_lines_give_the_same_outcome(self):
        rng = random.Random(20261207)
        seen = collections.Counter()
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "lines.csv")
            for round_ in range(1500):
                items = [random_item(rng) for _ in range(rng.randrange(8))]
                argument = tuple(items) if round_ % 2 else items
                for name in ("md_to_html", "csv_lines_to_json"):
                    expected = reference(getattr(list_path, name), argument)
                    self.assertEqual(outcome(getattr(zendral, name), argument), expected,
                                     "%s(%r)" % (name, argument))
                    seen[name, expected[0]] += 1
                    if expected[0] == "list" and any(
                            isinstance(item, (bytes, bytearray)) and not is_utf8(item) for item in items):
                        seen[name, "not UTF-8, dropped"] += 1
                with open(path, "wb") as out:
                    out.write(b"\n".join(item if isinstance(item, (bytes, bytearray))
                                         else str(item).encode("utf-8", "surrogatepass") for item in items))
                self.assertEqual(outcome(zendral.csv_file_to_json, path),
                                 reference(list_path.csv_file_to_json, path))
        # Every kind of outcome came up, or the comparison proved little.
        for name in ("md_to_html", "csv_lines_to_json"):
            for kind in ("list", "UnicodeDecodeError", "TypeError"):
                self.assertGreater(seen[name, kind], 5, (name, kind))
        self.assertGreater(seen["csv_lines_to_json", "not UTF-8, dropped"], 5)


def is_utf8(data):
    try:
        bytes(data).decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


if __name__ == "__main__":
    unittest.main()

"""Markdown conversion end to end through the module."""
import unittest

from support import zendral

DOCUMENT = ["# Title", "", "Some *text* and `x_y_z`", "- one", "- __two__", "", "end"]
HTML = ["<h1>Title</h1>", "", "<p>Some <em>text</em> and <code>x<em>y</em>z</code></p>",
        "<ul>", "<li>one</li>", "<li><strong>two</strong></li>", "</ul>", "", "<p>end</p>"]


class MdToHtml(unittest.TestCase):
    def test_document_converts_line_by_line(self):
        self.assertEqual(zendral.md_to_html(DOCUMENT), HTML)

    def test_list_tuple_and_bytes_items_agree(self):
        for argument in (DOCUMENT, tuple(DOCUMENT), [line.encode() for line in DOCUMENT],
                         [bytearray(line.encode()) for line in DOCUMENT]):
            with self.subTest(argument=type(argument[0]).__name__ + " in " + type(argument).__name__):
                self.assertEqual(zendral.md_to_html(argument), HTML)

    def test_non_utf8_result_raises_decode_error(self):
        with self.assertRaises(UnicodeDecodeError):
            zendral.md_to_html([b"ok", b"*\xe9*"])

    def test_an_open_list_does_not_leak_into_the_next_call(self):
        self.assertEqual(zendral.md_to_html(["- a"]), ["<ul>", "<li>a</li>", "</ul>"])
        self.assertEqual(zendral.md_to_html(["b"]), ["<p>b</p>"])
        self.assertEqual(zendral.md_to_html(["- a", "# h"]), ["<ul>", "<li>a</li>", "<h1>h</h1>", "</ul>"])
        self.assertEqual(zendral.md_to_html(["- c"]), ["<ul>", "<li>c</li>", "</ul>"])

    def test_text_passes_through_unescaped(self):
        self.assertEqual(zendral.md_to_html(["\u00e9 < *\u2028* & \x00"]),
                         ["<p>\u00e9 < <em>\u2028</em> & \x00</p>"])

    def test_line_separators_inside_items_are_data(self):
        self.assertEqual(zendral.md_to_html(["*a\nb*", "_a\nb_"]),
                         ["<p>*a\nb*</p>", "<p><em>a\nb</em></p>"])


if __name__ == "__main__":
    unittest.main()

"""key=value conversion end to end through the module."""
import os
import tempfile
import unittest

from support import zendral


class CsvLinesToJson(unittest.TestCase):
    def test_lines_convert_one_to_one(self):
        lines = ["a=1,b=2", "", "flag", "q=\"x\",p=C:\\dir", "a=1\r", "k\n=v\n"]
        self.assertEqual(zendral.csv_lines_to_json(lines), [
            '{"a": "1", "b": "2"}', "{}", "{}", '{"q": ""x"", "p": "C:\\dir"}',
            '{"a": "1\r"}', '{"k\n": "v\n"}'])

    def test_no_state_survives_between_calls(self):
        first = zendral.csv_lines_to_json(["a=1"] * 1000)
        self.assertEqual(zendral.csv_lines_to_json(["b=2"]), ['{"b": "2"}'])
        self.assertEqual(zendral.csv_lines_to_json(["a=1"] * 1000), first)


class CsvFileToJson(unittest.TestCase):
    def convert(self, data):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "data.csv")
            with open(path, "wb") as out:
                out.write(data)
            return zendral.csv_file_to_json(path)

    def test_file_lines_end_at_lf_only(self):
        cases = [
            (b"", []),
            (b"\n", ["{}"]),
            (b"a=1\nb=2", ['{"a": "1"}', '{"b": "2"}']),
            (b"a=1\n\nb=2\n", ['{"a": "1"}', "{}", '{"b": "2"}']),
            (b"a=1\r\nb=2\r\n", ['{"a": "1\r"}', '{"b": "2\r"}']),
            (b"a=1\rb=2\n", ['{"a": "1\rb=2"}']),
            ("\u00e9=\u20ac\n".encode(), ['{"\u00e9": "\u20ac"}']),
        ]
        for data, expected in cases:
            with self.subTest(data=data):
                self.assertEqual(self.convert(data), expected)

    def test_file_and_list_entries_agree(self):
        lines = ["ts=%d,level=info,msg=m%d,flag" % (i, i) for i in range(20000)]
        data = "\n".join(lines).encode()
        self.assertEqual(self.convert(data), zendral.csv_lines_to_json(lines))

    def test_relative_path_resolves_against_current_directory(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "rel.csv"), "wb") as out:
                out.write(b"x=y\n")
            previous = os.getcwd()
            os.chdir(folder)
            try:
                self.assertEqual(zendral.csv_file_to_json("rel.csv"), ['{"x": "y"}'])
            finally:
                os.chdir(previous)


if __name__ == "__main__":
    unittest.main()

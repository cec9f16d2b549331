"""Calls a typed caller writes, checked (never run) by mypy against an
installed zendral: every line must pass."""
from typing import List, Sequence

import zendral

html: List[str] = zendral.md_to_html(["# Title", b"- one", bytearray(b"*two*")])
objects = zendral.csv_lines_to_json(("a=1", b"b=2"))
first: str = objects[0]
rows = zendral.csv_file_to_json("app.log") + zendral.csv_file_to_json(b"app.log")


def html_of(lines: Sequence[str]) -> List[str]:
    return zendral.md_to_html(lines)  # any Sequence of lines, only not a str itself

import pathlib
from typing import Tuple

import zendral_document

page: str = zendral_document.md_to_html("# Title\n- one\n")
data: bytes = zendral_document.kv_to_json(b"a=1\n", escape=True) + zendral_document.md_to_html(bytearray(b"*x*"))
counts: Tuple[int, int, int] = zendral_document.kv_file_to_json("app.log", 1, escape=True)
zendral_document.md_file_to_html(pathlib.Path("a.md"), b"a.html")

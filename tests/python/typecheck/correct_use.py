"""Calls a typed caller writes, checked (never run) by mypy against an
installed zendral: every line must pass."""
from typing import List

import zendral

html: List[str] = zendral.md_to_html(["# Title", b"- one", bytearray(b"*two*")])
objects = zendral.csv_lines_to_json(("a=1", b"b=2"))
first: str = objects[0]
rows = zendral.csv_file_to_json("app.log") + zendral.csv_file_to_json(b"app.log")

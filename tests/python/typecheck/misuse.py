"""Mistakes mypy must catch against an installed zendral (checked, never
run): each marked line must give an error holding the marked text, and no
other line may give one."""
import pathlib

import zendral

zendral.csv_file_to_json(pathlib.Path("app.log"))  # error: incompatible type "Path"
zendral.csv_lines_to_json(["a=1", 2])  # error: List item 1 has incompatible type "int"
zendral.md_to_html(lines=["# Title"])  # error: Unexpected keyword argument "lines"
title: str = zendral.md_to_html(["# Title"])  # error: expression has type "List[str]", variable has type "str"
zendral.md_to_html("# Title\n- one\n")  # error: Argument 1 to "md_to_html" has incompatible type "str"

import zendral_document

zendral_document.md_to_html("# Title", True)  # error: No overload variant of "md_to_html" matches
text: str = zendral_document.kv_to_json(b"a=1")  # error: expression has type "bytes", variable has type "str"
zendral_document.kv_file_to_json(["app.log"], 1)  # error: incompatible type "List[str]"

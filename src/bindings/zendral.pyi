# Type stub for the zendral extension module, installed beside it.
# Written for Python 3.6 readers: typing generics, no "X | Y", no list[str].
# The double-underscore parameter names mark the arguments positional-only,
# as the module accepts no keywords.
from typing import List, Sequence, Union

def md_to_html(__lines: Sequence[Union[str, bytes, bytearray]]) -> List[str]:
    """Convert Markdown lines to HTML lines. Returns an array of lines."""
    ...

def csv_lines_to_json(__lines: Sequence[Union[str, bytes, bytearray]]) -> List[str]:
    """Convert CSV lines to JSON lines. Returns an array of lines."""
    ...

def csv_file_to_json(__path: Union[str, bytes, bytearray]) -> List[str]:
    """Convert a CSV file to JSON. Returns an array of lines."""
    ...

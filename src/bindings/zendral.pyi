# Type stub for the zendral extension module, installed beside it.
# Written for Python 3.6 readers: typing generics, no "X | Y", no list[str].
# The double-underscore parameter names mark the arguments positional-only,
# as the module accepts no keywords.
import sys
from typing import Iterator, List, Union

if sys.version_info >= (3, 8):
    from typing import Protocol
else:
    from typing_extensions import Protocol

_Line = Union[str, bytes, bytearray]

class _SequenceOfLines(Protocol):
    # What Sequence[_Line] promises, but a str is one too (it is a sequence of
    # str), and the module refuses it: a whole text passed where its lines
    # belong. str's __contains__ takes only str, so it does not fit here;
    # lists, tuples and any Sequence[str] do.
    def __len__(self) -> int: ...
    def __getitem__(self, __index: int) -> _Line: ...
    def __iter__(self) -> Iterator[_Line]: ...
    def __contains__(self, __item: object) -> bool: ...

def md_to_html(__lines: _SequenceOfLines) -> List[str]:
    """Convert Markdown lines to HTML lines. Returns an array of lines."""
    ...

def csv_lines_to_json(__lines: _SequenceOfLines) -> List[str]:
    """Convert CSV lines to JSON lines. Returns an array of lines."""
    ...

def csv_file_to_json(__path: Union[str, bytes, bytearray]) -> List[str]:
    """Convert a CSV file to JSON. Returns an array of lines."""
    ...

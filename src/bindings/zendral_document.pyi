# Type stub for the zendral_document extension module, installed beside it.
# Written for Python 3.6 readers: typing generics, no "X | Y".
from os import PathLike
from typing import Optional, Tuple, Union, overload

# The project's version.
__version__: str

# A path, or an open file descriptor (used as it is and left open).
_File = Union[str, bytes, PathLike, int]
# (input bytes, output lines, output bytes)
_Counts = Tuple[int, int, int]

@overload
def md_to_html(document: str, *, escape: bool = ..., page: bool = ..., title: Optional[str] = ...,
               css: Optional[str] = ...) -> str:
    """Convert a Markdown document to HTML, returned as the same type."""
    ...

@overload
def md_to_html(document: Union[bytes, bytearray, memoryview], *, escape: bool = ..., page: bool = ...,
               title: Optional[str] = ..., css: Optional[str] = ...) -> bytes: ...

@overload
def kv_to_json(document: str, *, escape: bool = ...) -> str:
    """Convert key=value lines to JSON object lines, returned as the same type."""
    ...

@overload
def kv_to_json(document: Union[bytes, bytearray, memoryview], *, escape: bool = ...) -> bytes: ...

def md_file_to_html(source: _File, target: _File, *, escape: bool = ..., page: bool = ...,
                    title: Optional[str] = ..., css: Optional[str] = ..., threads: int = ...) -> _Counts:
    """Convert a Markdown file to an HTML file, in blocks."""
    ...

def kv_file_to_json(source: _File, target: _File, *, escape: bool = ..., threads: int = ...) -> _Counts:
    """Convert a key=value file to a file of JSON object lines, in blocks."""
    ...

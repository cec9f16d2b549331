"""Runs zendral on the bundled examples and prints what it makes of them."""
import os
import sys

import zendral

HERE = os.path.dirname(os.path.abspath(__file__))


def read_lines(name):
    # Lines end at LF only, as zendral's own file reader sees them.
    with open(os.path.join(HERE, name), encoding="utf-8", newline="") as source:
        text = source.read()
    return text[:-1].split("\n") if text.endswith("\n") else text.split("\n")


def show(title, lines):
    print("== %s ==" % title)
    for line in lines:
        print(line)
    print()


def main():
    if hasattr(zendral, "md_to_html"):
        show("document.md as HTML", zendral.md_to_html(read_lines("document.md")))
    show("app.log as JSON lines", zendral.csv_file_to_json(os.path.join(HERE, "app.log")))
    # The spans are plain substitutions, applied everywhere (README: "Behaviour
    # that can surprise"): an underscore inside a code span still emphasises.
    show("a code span with underscores", zendral.md_to_html(["Call `md_to_html` once per list."]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

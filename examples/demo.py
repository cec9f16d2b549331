"""Runs zendral on the bundled examples and prints what it makes of them:
whole documents through zendral_document, then a list of lines through
zendral."""
import os
import sys

import zendral
import zendral_document

HERE = os.path.dirname(os.path.abspath(__file__))


def read(name):
    # newline="": a CR stays in its line, as zendral's own readers keep it.
    with open(os.path.join(HERE, name), encoding="utf-8", newline="") as source:
        return source.read()


def show(title, text):
    print("== %s ==" % title)
    print(text, end="" if text.endswith("\n") else "\n")
    print()


def main():
    show("document.md as HTML", zendral_document.md_to_html(read("document.md")))
    show("app.log as JSON Lines", zendral_document.kv_to_json(read("app.log")))
    # The list functions give the converters' raw bytes; their spans are plain
    # substitutions, so an underscore inside a code span still emphasises.
    show("a list of lines, with zendral.md_to_html",
         "\n".join(zendral.md_to_html(["- Call `md_to_html` once", "- per *list*"])))
    return 0


if __name__ == "__main__":
    sys.exit(main())

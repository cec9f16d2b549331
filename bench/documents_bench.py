"""documents_bench.py FILE ROUNDS: one Markdown text converted whole, str in
and str out, by zendral_document and by the compiled peers installed beside
it (pyromark, markdown-it-pyrs), in one process, in interleaved rounds.
Prints one JSON object: {contender: [seconds per round]}. A time is the call
plus freeing its result; a peer that is not installed is left out.
(Run by bench/peers_bench.py in the venv that holds the zendral under test.)
"""
import gc
import importlib
import json
import sys
import time

import zendral_document


def contenders(text):
    found = {"zendral_document.md_to_html": lambda: zendral_document.md_to_html(text)}
    for module, label, make in (
            ("pyromark", "pyromark.html", lambda m: lambda: m.html(text)),
            ("markdown_it_pyrs", "markdown-it-pyrs MarkdownIt().render",
             lambda m: (lambda renderer: lambda: renderer.render(text))(m.MarkdownIt()))):
        try:
            found[label] = make(importlib.import_module(module))
        except ImportError:
            pass
    return found


def main():
    path, rounds = sys.argv[1], int(sys.argv[2])
    with open(path, "rb") as source:
        text = source.read().decode("utf-8", "replace")
    calls = contenders(text)
    times = {label: [] for label in calls}
    for round_ in range(rounds + 1):  # the first round warms up, uncounted
        for label, call in calls.items():
            gc.collect()
            gc.disable()
            started = time.perf_counter()
            result = call()
            del result
            elapsed = time.perf_counter() - started
            gc.enable()
            if round_:
                times[label].append(elapsed)
    json.dump(times, sys.stdout)


if __name__ == "__main__":
    main()

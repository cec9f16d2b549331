"""Loads the built module into another minor release of Python, which must
refuse it with ImportError naming both versions, unless the dynamic loader
refuses it first for a symbol that release lacks (a module built for 3.12,
loaded into 3.13), with an ImportError that names the symbol.

usage: version_gate.py MODULE BUILT_FOR OTHER_VERSION [OTHER_INTERPRETER]
Exits 77 (skipped) when no interpreter of OTHER_VERSION was found.
"""
import os
import shutil
import subprocess
import sys
import tempfile

PROBE = r"""
import json, sys
try:
    import zendral
except ImportError as error:
    print(json.dumps(["ImportError", str(error), sys.version]))
else:
    print(json.dumps(["imported", "", sys.version]))
"""


def main():
    module, built_for, other_version = sys.argv[1:4]
    other = sys.argv[4] if len(sys.argv) > 4 else ""
    if not other:
        print("SKIPPED: no Python %s interpreter found" % other_version)
        return 77
    with tempfile.TemporaryDirectory() as folder:
        # The plain name lets any interpreter find it, whatever its ABI tag.
        shutil.copy(module, os.path.join(folder, "zendral.so"))
        env = dict(os.environ, PYTHONPATH=folder)
        output = subprocess.check_output([other, "-c", PROBE], env=env, cwd=folder)
    import json
    outcome, message, version = json.loads(output.decode())
    expected = ("Python version mismatch: module was compiled for Python %s, but the "
                "interpreter version is incompatible: %s." % (built_for, version))
    print("under Python %s: %s %r" % (other_version, outcome, message))
    if outcome == "ImportError" and "undefined symbol: " in message:
        print("refused by the dynamic loader before the version check could run")
        return 0
    if outcome != "ImportError" or message != expected:
        print("expected ImportError %r" % expected)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

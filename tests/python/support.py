"""Imports the zendral module under test: the build named by ZENDRAL_MODULE."""
import importlib.util
import os
import sys


def _load():
    path = os.environ.get("ZENDRAL_MODULE")
    if not path:
        import zendral
        return zendral
    spec = importlib.util.spec_from_file_location("zendral", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["zendral"] = module
    return module


zendral = _load()

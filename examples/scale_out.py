"""Converts a folder of files with zendral on every core, or across machines:
the `zendral batch` command, runnable from a clone where zendral_cli is not
installed.

    python3 scale_out.py INPUT OUTPUT                      process pool, one per core
    python3 scale_out.py INPUT OUTPUT --workers 8
    python3 scale_out.py INPUT OUTPUT --engine cluster     a local Dask cluster
    python3 scale_out.py INPUT OUTPUT --scheduler tcp://10.0.0.5:8786   an existing one
    python3 scale_out.py INPUT OUTPUT --engine serial      one file after another

`zendral batch --help` tells the rest; the engine is zendral_cli.batch.
"""
import os
import sys

try:
    import zendral_cli
except ImportError:  # a clone: the command's sources are in src/python
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    os.pardir, "src", "python"))
    import zendral_cli

if __name__ == "__main__":  # not again in the cluster's spawned workers
    sys.exit(zendral_cli.main(["batch"] + sys.argv[1:]))

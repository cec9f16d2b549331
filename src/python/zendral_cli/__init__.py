"""The `zendral` command: converts Markdown and key=value files with the
zendral module, from the shell. `python -m zendral_cli` runs it too.

command_line.py reads the common command lines, parser.py (argparse, every
help text) the rest; run.py runs md and kv, batch.py converts folders;
options.py is what a conversion is asked to do, convert.py calls the native
functions, outputs.py writes output files, process.py handles signals and
stderr. Each is imported when first needed: a run starts in milliseconds."""

__all__ = ["main"]


def main(argv=None):
    """Runs the command with argv (default: sys.argv[1:]); returns its exit
    status."""
    from .run import main as run
    return run(argv)

"""python -m zendral_cli: the zendral command."""
import sys

from zendral_cli import main

sys.exit(main())

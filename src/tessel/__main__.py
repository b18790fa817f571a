"""`python -m tessel`: the command line (see tessel.cli)."""
import sys

from tessel.cli import main

if __name__ == "__main__":
    sys.exit(main())

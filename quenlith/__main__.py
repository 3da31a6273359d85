"""Command line entry: ``python -m quenlith demo``."""

from __future__ import annotations

import sys

from .demo import main

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

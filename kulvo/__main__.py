"""`python -m kulvo` and the `kulvo` command."""

from __future__ import annotations

import sys

from kulvo.cli import main

if __name__ == "__main__":
    sys.exit(main())

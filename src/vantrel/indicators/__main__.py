"""``python -m vantrel.indicators``: the same as the ``vantrel-indicators`` command."""

import sys

from vantrel.indicators.cli import main

if __name__ == "__main__":
    sys.exit(main())

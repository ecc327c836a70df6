"""Sample prices shipped with the package, and the CSV reader they share with the command line.

``sample_ohlcv.csv`` holds about 2,000 daily OHLCV bars of **synthetic** data: a seeded random
walk made by ``tools/make_sample_data.py`` in the repository, not market prices. It is there so
that every indicator can be tried, plotted and documented without downloading anything::

    from vantrel.indicators.data import sample_ohlcv
    prices = sample_ohlcv()          # DataFrame: open, high, low, close, volume by date
"""

from __future__ import annotations

import io
from importlib import resources
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

SAMPLE_FILE = "sample_ohlcv.csv"


def exact_floats() -> dict[str, Any]:
    """The ``pd.read_csv`` options that parse each decimal into the double nearest to it, as
    ``float()`` does: the round-trip converter before pandas 3.1, the default from then on."""
    import pandas as pd

    version = tuple(int(part) for part in pd.__version__.split(".")[:2])
    return {} if version >= (3, 1) else {"float_precision": "round_trip"}


def read_csv_text(handle: IO[str]) -> pd.DataFrame:
    """Read CSV from an open text file, skipping comment lines (``#`` ...) at its top.

    Numbers are parsed exactly (see `exact_floats`).
    """
    import pandas as pd

    if not handle.seekable():
        handle = io.StringIO(handle.read())
    position = handle.tell()
    line = handle.readline()
    while line.startswith("#"):
        position = handle.tell()
        line = handle.readline()
    handle.seek(position)
    frame: pd.DataFrame = pd.read_csv(handle, **exact_floats())
    return frame


def open_sample() -> IO[str]:
    """The shipped sample file, opened as text."""
    return resources.files(__name__).joinpath(SAMPLE_FILE).open("r", encoding="utf-8")


def sample_ohlcv() -> pd.DataFrame:
    """About 2,000 daily bars of synthetic OHLCV data (not market prices).

    Returns a DataFrame indexed by a ``DatetimeIndex`` named "date" (business days from
    2017-01-02), with the float columns "open", "high", "low", "close" (in cents) and the
    integer column "volume".
    """
    import pandas as pd

    with open_sample() as handle:
        frame = read_csv_text(handle)
    frame["date"] = pd.to_datetime(frame["date"], format="%Y-%m-%d")
    prices: pd.DataFrame = frame.set_index("date")
    return prices

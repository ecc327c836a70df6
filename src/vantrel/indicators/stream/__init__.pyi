"""The indicators one bar at a time, for live feeds (see docs/streaming.md)."""

from vantrel.indicators.stream._stream import ADX as ADX
from vantrel.indicators.stream._stream import ATR as ATR
from vantrel.indicators.stream._stream import EMA as EMA
from vantrel.indicators.stream._stream import NORMALIZED_T3 as NORMALIZED_T3
from vantrel.indicators.stream._stream import STOCHASTIC as STOCHASTIC
from vantrel.indicators.stream._stream import SUPERTREND as SUPERTREND

__all__ = ["EMA", "STOCHASTIC", "ADX", "SUPERTREND", "NORMALIZED_T3", "ATR"]

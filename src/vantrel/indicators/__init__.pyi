"""Technical-analysis indicators with compiled C++ cores."""

from vantrel.indicators.adx.adx import ADX as ADX
from vantrel.indicators.ema.ema import EMA as EMA
from vantrel.indicators.normalized_t3.normalized_t3 import NORMALIZED_T3 as NORMALIZED_T3
from vantrel.indicators.stochastic.stochastic import STOCHASTIC as STOCHASTIC
from vantrel.indicators.supertrend.supertrend import SUPERTREND as SUPERTREND
from vantrel.indicators.volatility import ATR as ATR

__version__: str
__all__ = ["ADX", "ATR", "EMA", "NORMALIZED_T3", "STOCHASTIC", "SUPERTREND"]

def __dir__() -> list[str]: ...

"""Technical-analysis indicators with compiled C++ cores.

Each indicator lives in its own extension module (``vantrel.indicators.ema.ema``
and so on); the names below are re-exported lazily, so importing this package
does not load every module::

    from vantrel.indicators import EMA, STOCHASTIC
"""

from __future__ import annotations

import importlib

__version__ = "0.1.0"

# Public name -> module that defines it.
_EXPORTS = {
    "EMA": "vantrel.indicators.ema.ema",
    "STOCHASTIC": "vantrel.indicators.stochastic.stochastic",
    "ADX": "vantrel.indicators.adx.adx",
    "SUPERTREND": "vantrel.indicators.supertrend.supertrend",
    "NORMALIZED_T3": "vantrel.indicators.normalized_t3.normalized_t3",
    "ATR": "vantrel.indicators.volatility",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))

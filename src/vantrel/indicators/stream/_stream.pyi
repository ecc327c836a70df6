"""The indicators one bar at a time (see vantrel.indicators.stream)."""

from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, final

import pandas as pd
from numpy.typing import ArrayLike

_Prices: TypeAlias = ArrayLike | pd.Series[Any]
_Price: TypeAlias = SupportsFloat | SupportsIndex

@final
class EMA:
    """Exponential moving average, one bar at a time.

    After bars 0..i, update() returns for bar i row i of the single-series function
    ``vantrel.indicators.EMA`` called on bars 0..i, bit for bit.
    """

    def __new__(cls, period: SupportsIndex) -> EMA: ...
    def update(self, src: _Price) -> float:
        """Take one bar and return its value."""
    def peek(self, src: _Price) -> float:
        """The value update() would return for this bar; the object is left unchanged."""
    def update_many(self, src: _Prices) -> pd.Series[float]:
        """Take many bars and return what the single-series function returns for them."""
    @property
    def value(self) -> float | None:
        """The value for the last bar, or None before the first."""
    @property
    def count(self) -> int:
        """The number of bars seen."""
    def copy(self) -> EMA:
        """An independent object in the same state."""
    def reset(self) -> None:
        """Forget every bar."""
    def __reduce__(self) -> tuple[type[EMA], tuple[Any, ...], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class STOCHASTIC:
    """Stochastic oscillator, one bar at a time: (%K, %D).

    After bars 0..i, update() returns for bar i row i of the single-series function
    ``vantrel.indicators.STOCHASTIC`` called on bars 0..i, bit for bit.
    """

    def __new__(cls, k_period: SupportsIndex = 14, d_period: SupportsIndex = 3) -> STOCHASTIC: ...
    def update(self, high: _Price, low: _Price, close: _Price) -> tuple[float, float]:
        """Take one bar and return its value."""
    def peek(self, high: _Price, low: _Price, close: _Price) -> tuple[float, float]:
        """The value update() would return for this bar; the object is left unchanged."""
    def update_many(self, high: _Prices, low: _Prices, close: _Prices) -> pd.DataFrame:
        """Take many bars and return what the single-series function returns for them."""
    @property
    def value(self) -> tuple[float, float] | None:
        """The value for the last bar, or None before the first."""
    @property
    def count(self) -> int:
        """The number of bars seen."""
    def copy(self) -> STOCHASTIC:
        """An independent object in the same state."""
    def reset(self) -> None:
        """Forget every bar."""
    def __reduce__(self) -> tuple[type[STOCHASTIC], tuple[Any, ...], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class ADX:
    """Average Directional Index, one bar at a time: (Plus_DI, Minus_DI, ADX).

    After bars 0..i, update() returns for bar i row i of the single-series function
    ``vantrel.indicators.ADX`` called on bars 0..i, bit for bit.
    """

    def __new__(cls, di_length: SupportsIndex = 14, adx_smoothing: SupportsIndex = 14) -> ADX: ...
    def update(self, high: _Price, low: _Price, close: _Price) -> tuple[float, float, float]:
        """Take one bar and return its value."""
    def peek(self, high: _Price, low: _Price, close: _Price) -> tuple[float, float, float]:
        """The value update() would return for this bar; the object is left unchanged."""
    def update_many(self, high: _Prices, low: _Prices, close: _Prices) -> pd.DataFrame:
        """Take many bars and return what the single-series function returns for them."""
    @property
    def value(self) -> tuple[float, float, float] | None:
        """The value for the last bar, or None before the first."""
    @property
    def count(self) -> int:
        """The number of bars seen."""
    def copy(self) -> ADX:
        """An independent object in the same state."""
    def reset(self) -> None:
        """Forget every bar."""
    def __reduce__(self) -> tuple[type[ADX], tuple[Any, ...], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class SUPERTREND:
    """SuperTrend, one bar at a time: (line, direction).

    The line rides on this package's ATR recursion, computed from the same bars: the values
    equal ``vantrel.indicators.SUPERTREND``'s while that module's global ``ATR`` is
    ``vantrel.indicators.volatility.ATR`` (not rebound).

    After bars 0..i, update() returns for bar i row i of the single-series function
    ``vantrel.indicators.SUPERTREND`` called on bars 0..i, bit for bit.
    """

    def __new__(cls, period: SupportsIndex = 10, multiplier: SupportsFloat | SupportsIndex = 3.0) -> SUPERTREND: ...
    def update(self, high: _Price, low: _Price, close: _Price) -> tuple[float, int]:
        """Take one bar and return its value."""
    def peek(self, high: _Price, low: _Price, close: _Price) -> tuple[float, int]:
        """The value update() would return for this bar; the object is left unchanged."""
    def update_many(self, high: _Prices, low: _Prices, close: _Prices) -> pd.DataFrame:
        """Take many bars and return what the single-series function returns for them."""
    @property
    def value(self) -> tuple[float, int] | None:
        """The value for the last bar, or None before the first."""
    @property
    def count(self) -> int:
        """The number of bars seen."""
    def copy(self) -> SUPERTREND:
        """An independent object in the same state."""
    def reset(self) -> None:
        """Forget every bar."""
    def __reduce__(self) -> tuple[type[SUPERTREND], tuple[Any, ...], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class NORMALIZED_T3:
    """Normalized T3 oscillator, one bar at a time.

    After bars 0..i, update() returns for bar i row i of the single-series function
    ``vantrel.indicators.NORMALIZED_T3`` called on bars 0..i, bit for bit.
    """

    def __new__(cls, period: SupportsIndex = 200, t3_period: SupportsIndex = 2, volume_factor: SupportsFloat | SupportsIndex = 0.7) -> NORMALIZED_T3: ...
    def update(self, src: _Price) -> float:
        """Take one bar and return its value."""
    def peek(self, src: _Price) -> float:
        """The value update() would return for this bar; the object is left unchanged."""
    def update_many(self, src: _Prices) -> pd.Series[float]:
        """Take many bars and return what the single-series function returns for them."""
    @property
    def value(self) -> float | None:
        """The value for the last bar, or None before the first."""
    @property
    def count(self) -> int:
        """The number of bars seen."""
    def copy(self) -> NORMALIZED_T3:
        """An independent object in the same state."""
    def reset(self) -> None:
        """Forget every bar."""
    def __reduce__(self) -> tuple[type[NORMALIZED_T3], tuple[Any, ...], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

@final
class ATR:
    """Average true range, one bar at a time.

    After bars 0..i, update() returns for bar i row i of the single-series function
    ``vantrel.indicators.ATR`` called on bars 0..i, bit for bit.
    """

    def __new__(cls, period: SupportsIndex = 14) -> ATR: ...
    def update(self, high: _Price, low: _Price, close: _Price) -> float:
        """Take one bar and return its value."""
    def peek(self, high: _Price, low: _Price, close: _Price) -> float:
        """The value update() would return for this bar; the object is left unchanged."""
    def update_many(self, high: _Prices, low: _Prices, close: _Prices) -> pd.Series[float]:
        """Take many bars and return what the single-series function returns for them."""
    @property
    def value(self) -> float | None:
        """The value for the last bar, or None before the first."""
    @property
    def count(self) -> int:
        """The number of bars seen."""
    def copy(self) -> ATR:
        """An independent object in the same state."""
    def reset(self) -> None:
        """Forget every bar."""
    def __reduce__(self) -> tuple[type[ATR], tuple[Any, ...], bytes]: ...
    def __setstate__(self, state: bytes, /) -> None: ...

"""Charts for the command line: the prices with one indicator, drawn with matplotlib.

The price panel shows candles when the file has open, high, low and close (else, or beyond
`MOST_CANDLES` bars, the close or the column a one-series indicator ran over as a line), a
volume panel follows when the file has volume, and oscillators get a panel of their own at the
bottom with their usual reference levels. Overlays (EMA, SuperTrend) share the price panel.

Bars are placed one unit apart, whatever time lies between them, so nights, weekends and
holidays leave no gaps; the x axis is labelled with the bars' dates at calendar boundaries.
The figure is built through ``matplotlib.figure.Figure`` directly, so no GUI backend and no
pyplot state are involved. (mplfinance draws such charts too, but needs a date index, imports
pyplot and relies on the undeclared package six; the few lines below need none of that.)
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from matplotlib.axes import Axes
from matplotlib.figure import Figure
from matplotlib.ticker import EngFormatter, FixedLocator, FuncFormatter, MaxNLocator

if TYPE_CHECKING:
    import pandas as pd

UP = "#1a9850"
DOWN = "#d73027"
PRICE = "#404040"
LEVEL = "#888888"
LINES = ("#1f77b4", "#ff7f0e", "#2ca02c")
CANDLE_COLUMNS = ("open", "high", "low", "close")
# Beyond this many bars a candle is narrower than a pixel or two: the close is drawn as a line.
MOST_CANDLES = 600


@dataclass(frozen=True)
class Panel:
    """How an indicator is drawn below the prices."""
    ylabel: str
    levels: tuple[float, ...] = ()          # dashed reference lines, labelled at the right
    colors: tuple[str, ...] = LINES
    ylim: tuple[float, float] | None = None


PANELS: dict[str, Panel] = {
    "stochastic": Panel("%K, %D", levels=(20.0, 80.0), ylim=(-5.0, 105.0)),
    "adx": Panel("+DI, -DI, ADX", levels=(20.0, 25.0), colors=(UP, DOWN, "#000000")),
    "normalized_t3": Panel("normalized T3", levels=(0.0,), ylim=(-0.55, 0.55)),
    "atr": Panel("ATR"),
}


def _price_line(ax: Axes, x: np.ndarray, bars: pd.DataFrame, source: str) -> np.ndarray:
    """Candles when `bars` has open, high, low and close (and not too many rows), else a line;
    returns the close (or `source`) for overlays to fill against."""
    if not all(c in bars for c in CANDLE_COLUMNS) or len(bars) > MOST_CANDLES:
        line = bars["close" if "close" in bars else source].to_numpy()
        ax.plot(x, line, color=PRICE, lw=1.0, label="close" if "close" in bars else source)
        return line
    o, h, low, c = (bars[k].to_numpy() for k in CANDLE_COLUMNS)
    colors = [UP if up else DOWN for up in c >= o]
    ax.vlines(x, low, h, colors=colors, lw=0.7)
    # A zero-height body (open == close) still shows as its edge line.
    ax.bar(x, c - o, bottom=o, width=0.65, color=colors, edgecolor=colors, lw=0.4)
    return c


def _volume(ax: Axes, x: np.ndarray, bars: pd.DataFrame) -> None:
    up = bars["close"].to_numpy() >= bars["open"].to_numpy() if "open" in bars else None
    colors = PRICE if up is None else np.where(up, UP, DOWN)
    ax.bar(x, bars["volume"].to_numpy(), width=0.65, color=colors, alpha=0.55, lw=0)
    ax.set_ylabel("volume")
    ax.yaxis.set_major_formatter(EngFormatter(sep=""))
    ax.yaxis.set_major_locator(MaxNLocator(3))


def _ema(ax: Axes, x: np.ndarray, close: np.ndarray, result: pd.DataFrame) -> None:
    ax.plot(x, result["EMA"].to_numpy(), color=LINES[0], lw=1.4, label="EMA")


def _supertrend(ax: Axes, x: np.ndarray, close: np.ndarray, result: pd.DataFrame) -> None:
    line = result["Supertrend"]
    up = line.where(result["Direction"] == 1).to_numpy()
    down = line.where(result["Direction"] == -1).to_numpy()
    ax.fill_between(x, close, up, color=UP, alpha=0.12, lw=0)
    ax.fill_between(x, close, down, color=DOWN, alpha=0.12, lw=0)
    ax.plot(x, up, color=UP, lw=1.4, label="SuperTrend, up (1)")
    ax.plot(x, down, color=DOWN, lw=1.4, label="SuperTrend, down (-1)")


OVERLAYS: dict[str, Callable[[Axes, np.ndarray, np.ndarray, pd.DataFrame], None]] = {
    "ema": _ema,
    "supertrend": _supertrend,
}


def _panel(ax: Axes, x: np.ndarray, result: pd.DataFrame, panel: Panel) -> None:
    for column, color in zip(result.columns, panel.colors, strict=False):
        ax.plot(x, result[column].to_numpy(), color=color, lw=1.1, label=str(column))
    if panel.ylim is not None:
        ax.set_ylim(*panel.ylim)
    for level in panel.levels:
        ax.axhline(level, color=LEVEL, lw=0.8, ls="--")
        ax.annotate(f"{level:g}", (1.0, level), xycoords=("axes fraction", "data"),
                    xytext=(3, 0), textcoords="offset points", va="center", fontsize=8,
                    color=LEVEL)
    ax.set_ylabel(panel.ylabel)


# Calendar boundaries for date ticks, coarsest first: (period code, label format). Below a
# day, a tick in a new day also shows the date.
TICK_UNITS = (("Y", "%Y"), ("Q", "%b %Y"), ("M", "%b %Y"), ("W", "%d %b"), ("D", "%d %b"),
              ("h", "%H:%M"), ("min", "%H:%M"))


def _date_ticks(index: pd.DatetimeIndex, most: int = 9) -> tuple[list[int], list[str]]:
    """Bar positions where a calendar unit begins (a year, a month, a day, an hour), in the
    coarsest unit that gives at least five ticks, at least 1/`most` of the bars apart (the
    beginnings of coarser units first), and their labels."""
    import pandas as pd

    naive = index.tz_localize(None) if index.tz is not None else index
    starts: list[np.ndarray] = []
    for unit, fmt in TICK_UNITS:
        periods = naive.to_period(unit).asi8
        starts.append(np.flatnonzero(np.diff(periods)) + 1)
        if len(starts[-1]) >= 5:
            break
    kept: list[int] = []
    for position in np.concatenate(starts).tolist():
        if all(abs(position - k) >= len(index) / most for k in kept):
            kept.append(position)
    kept.sort()
    days = naive.normalize()
    labels = [pd.Timestamp(naive[p]).strftime(
        "%d %b %H:%M" if unit in ("h", "min") and (i == 0 or days[p] != days[kept[i - 1]])
        else fmt) for i, p in enumerate(kept)]
    return kept, labels


def _label_x(ax: Axes, index: pd.Index) -> None:
    import pandas as pd

    if isinstance(index, pd.DatetimeIndex) and len(index) > 1:
        positions, labels = _date_ticks(index)
        ax.xaxis.set_major_locator(FixedLocator(positions))
        ax.xaxis.set_major_formatter(FuncFormatter(
            lambda value, pos: labels[positions.index(int(value))]
            if int(value) in positions else ""))
        ax.set_xlabel("date" if (index == index.normalize()).all() else "time")
        return
    values = index.to_numpy()
    ax.xaxis.set_major_locator(MaxNLocator(8, integer=True))
    ax.xaxis.set_major_formatter(FuncFormatter(
        lambda value, pos: str(values[int(value)]) if 0 <= int(value) < len(values) else ""))
    ax.set_xlabel("row" if isinstance(index, pd.RangeIndex) else str(index.name or "bar"))


def chart(name: str, bars: pd.DataFrame, source: str, result: pd.DataFrame,
          title: str) -> Figure:
    """The figure of indicator `name` over `bars` (the price columns the file has, on the time
    index): prices on top, volume below them, `result` over the prices or in a bottom panel.
    `source` is the column a one-series indicator ran over."""
    panel = PANELS.get(name)
    volume = "volume" in bars
    ratios = [3.0] + [0.8] * volume + [1.6] * (panel is not None)
    figure = Figure(figsize=(10, 3.2 + 1.2 * len(ratios)), dpi=100, layout="constrained")
    axes: list[Axes] = (
        [figure.add_subplot()] if len(ratios) == 1
        else list(figure.subplots(len(ratios), 1, sharex=True, height_ratios=ratios)))
    x = np.arange(len(bars), dtype=float)
    top = axes[0]
    close = _price_line(top, x, bars, source)
    top.set_ylabel("price")
    if name in OVERLAYS:
        OVERLAYS[name](top, x, close, result)
    if volume:
        _volume(axes[1], x, bars)
    if panel is not None:
        _panel(axes[-1], x, result, panel)
    top.set_title(title, fontsize=11)
    for ax in axes:
        ax.grid(True, color="#e5e5e5", lw=0.6)
        if ax.get_legend_handles_labels()[0]:
            ax.legend(loc="upper left", fontsize=8, ncols=3, framealpha=0.85, edgecolor="none")
    top.set_xlim(-1.0, len(bars))
    _label_x(axes[-1], bars.index)
    return figure

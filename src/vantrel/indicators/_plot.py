"""Charts for the command line: the price with one indicator, drawn with matplotlib.

Overlays (EMA, SuperTrend) share the price axes; oscillators get a panel below it. The figure
is built through ``matplotlib.figure.Figure`` directly, so no GUI backend and no pyplot state
are involved.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING

import numpy as np
from matplotlib.axes import Axes
from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
from matplotlib.figure import Figure

if TYPE_CHECKING:
    import pandas as pd

UP = "#1a9850"
DOWN = "#d73027"
PRICE = "#404040"
LINES = ("#1f77b4", "#ff7f0e", "#2ca02c")


def _x(data: pd.Series | pd.DataFrame) -> np.ndarray:
    return data.index.to_numpy()


def _ema(ax: Axes, price: pd.Series, result: pd.DataFrame) -> None:
    ax.plot(_x(result), result["EMA"].to_numpy(), color=LINES[0], lw=1.4, label="EMA")


def _supertrend(ax: Axes, price: pd.Series, result: pd.DataFrame) -> None:
    line = result["Supertrend"]
    up = line.where(result["Direction"] == 1)
    down = line.where(result["Direction"] == -1)
    x = _x(result)
    ax.fill_between(x, price.to_numpy(), up.to_numpy(), color=UP, alpha=0.12, lw=0)
    ax.fill_between(x, price.to_numpy(), down.to_numpy(), color=DOWN, alpha=0.12, lw=0)
    ax.plot(x, up.to_numpy(), color=UP, lw=1.4, label="SuperTrend, up (1)")
    ax.plot(x, down.to_numpy(), color=DOWN, lw=1.4, label="SuperTrend, down (-1)")


Draw = Callable[[Axes, "pd.Series", "pd.DataFrame"], None]


def _panel(levels: tuple[float, ...] = (), colors: tuple[str, ...] = LINES,
           ylim: tuple[float, float] | None = None) -> Draw:
    def draw(ax: Axes, price: pd.Series, result: pd.DataFrame) -> None:
        for level in levels:
            ax.axhline(level, color="#999999", lw=0.8, ls="--")
        for column, color in zip(result.columns, colors, strict=False):
            ax.plot(_x(result), result[column].to_numpy(), color=color, lw=1.1, label=str(column))
        if ylim is not None:
            ax.set_ylim(*ylim)

    return draw


DRAW: dict[str, Draw] = {
    "ema": _ema,
    "supertrend": _supertrend,
    "stochastic": _panel(levels=(20.0, 80.0), ylim=(-5.0, 105.0)),
    "adx": _panel(colors=(UP, DOWN, "#000000")),
    "normalized_t3": _panel(levels=(0.0,), ylim=(-0.55, 0.55)),
    "atr": _panel(),
}
OVERLAYS = ("ema", "supertrend")


def chart(name: str, bars: pd.DataFrame, source: str, result: pd.DataFrame,
          title: str) -> Figure:
    """The figure of indicator `name`: the close (or the `source` column) of `bars` on top,
    `result` over it or in a panel below."""
    price = bars["close" if "close" in bars else source]
    overlay = name in OVERLAYS
    figure = Figure(figsize=(10, 4.2 if overlay else 5.6), dpi=100, layout="constrained")
    if overlay:
        axes = [figure.add_subplot()]
    else:
        axes = list(figure.subplots(2, 1, sharex=True, height_ratios=(2, 1)))
    top = axes[0]
    top.plot(_x(price), price.to_numpy(), color=PRICE, lw=1.0, label=str(price.name))
    DRAW[name](axes[-1], price, result)
    top.set_title(title, fontsize=11)
    for ax in axes:
        ax.grid(True, color="#e5e5e5", lw=0.6)
        ax.legend(loc="upper left", fontsize=8, ncols=3, framealpha=0.85, edgecolor="none")
    if price.index.dtype.kind == "M":
        locator = AutoDateLocator()  # type: ignore[no-untyped-call]
        axes[-1].xaxis.set_major_locator(locator)
        axes[-1].xaxis.set_major_formatter(ConciseDateFormatter(locator))  # type: ignore[no-untyped-call]
    return figure

"""Generate the synthetic sample prices shipped with the package.

    python tools/make_sample_data.py            # rewrite the shipped file
    python tools/make_sample_data.py --check    # exit 1 if the shipped file differs

The data are made up: a random walk of the log price whose drift and volatility
switch between regimes of a few weeks to a few months, so that trends, ranges and
calm and nervous stretches all appear. Each bar gets an opening gap, a high and a
low beyond the open and the close, and a volume that rises with the size of the
move. Only Python's own `random` module is used, seeded with a fixed number, so
the file is the same on every platform and every version of NumPy.
"""

from __future__ import annotations

import argparse
import datetime as dt
import math
import random
import sys
from pathlib import Path

SEED = 20240607
BARS = 2000
FIRST_DAY = dt.date(2017, 1, 2)
START_PRICE = 100.0
TARGET = Path(__file__).resolve().parent.parent / "src/vantrel/indicators/data/sample_ohlcv.csv"
HEADER = (
    f"# Synthetic data, not market prices: {BARS} daily OHLCV bars made by"
    f" tools/make_sample_data.py (seed {SEED}).\n"
)


def business_days(first: dt.date, count: int) -> list[dt.date]:
    days = []
    day = first
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day += dt.timedelta(days=1)
    return days


def cents(x: float) -> float:
    return round(x, 2)


def make_text() -> str:
    rng = random.Random(SEED)
    lines = [HEADER, "date,open,high,low,close,volume\n"]
    close = START_PRICE
    regime_left = 0
    drift = vol = 0.0
    for day in business_days(FIRST_DAY, BARS):
        if regime_left == 0:
            regime_left = rng.randint(20, 120)
            drift = rng.choice((-1.0, 0.0, 0.5, 1.0)) * rng.uniform(0.0005, 0.002)
            vol = rng.uniform(0.008, 0.022)
        regime_left -= 1
        open_ = close * math.exp(rng.gauss(0.0, vol * 0.3))
        new_close = open_ * math.exp(drift + rng.gauss(0.0, vol))
        open_, new_close = cents(open_), cents(new_close)
        top, bottom = max(open_, new_close), min(open_, new_close)
        high = cents(top * math.exp(abs(rng.gauss(0.0, vol * 0.6))))
        low = cents(bottom * math.exp(-abs(rng.gauss(0.0, vol * 0.6))))
        move = abs(math.log(new_close / close)) / vol
        volume = int(1_000_000 * math.exp(rng.gauss(0.0, 0.25)) * (1.0 + 0.5 * move))
        lines.append(f"{day.isoformat()},{open_:.2f},{high:.2f},{low:.2f},{new_close:.2f},{volume}\n")
        close = new_close
    return "".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the shipped file instead of writing it")
    args = parser.parse_args(argv)
    text = make_text()
    if args.check:
        if TARGET.read_text(encoding="utf-8") != text:
            print(f"{TARGET} differs from what {Path(__file__).name} makes", file=sys.stderr)
            return 1
        return 0
    TARGET.write_text(text, encoding="utf-8", newline="\n")
    print(f"wrote {TARGET} ({TARGET.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

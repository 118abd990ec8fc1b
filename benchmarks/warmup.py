"""How many bars the averages seeded on the first bar need to agree with
TA-Lib's, which seeds them with a simple mean of the first N values
(Wilder's seeding).

    python benchmarks/warmup.py [--starts 40] [--walks 200] [--seed 1]

tarvex (like the charting software whose formulas it computes) starts an
exponential average from the first value: EMA(x, N) and SMA(x, N, M) are x
on the first bar. TA-Lib's EMA, RSI, ATR and STOCH wait N bars and start
from their mean. The two differ by an error that shrinks by (1 - alpha) a
bar, so after enough bars they agree. For each indicator this prints the
bars, counted from a security's first bar, from which on the difference
stays below 1e-3 and below 1e-6 of the indicator's scale: the close for the
MACD lines (price units), 100 for RSI and the stochastics, TA-Lib's value
for the true-range averages.

The bars are GOOG's daily and EURUSD's hourly bars as the `backtesting`
package ships them, cut to start at --starts evenly spaced bars (a
security listed on that day), and --walks synthetic random walks; the table
gives the median and the largest count of each. Needs TA-Lib
(`pip install '.[bench]'`); the real bars need `pip install backtesting`
and are left out without it.

It also counts how often the first-bar artefact strikes: DIF = DEA = 0 on a
security's first bar, so any move on the second bar is a MACD crossing.
"""
import argparse
from typing import Callable, Dict, Iterator, List, Tuple

import numpy as np

import tarvex

try:
    import talib
except ImportError:
    raise SystemExit("needs TA-Lib: pip install '.[bench]'  (or pip install ta-lib)") from None

Bars = Tuple[np.ndarray, np.ndarray, np.ndarray]  # close, high, low
TOLERANCES = (1e-3, 1e-6)
MINIMUM_BARS = 400  # a cut of real bars shorter than this is not measured


def true_range(close: np.ndarray, high: np.ndarray, low: np.ndarray) -> np.ndarray:
    previous = np.append(close[0], close[:-1])
    return np.fmax(high - low, np.fmax(np.abs(high - previous), np.abs(low - previous)))


# Each pair: the tarvex line, TA-Lib's line, and the scale of the difference.
def pairs(bars: Bars) -> Dict[str, Tuple[np.ndarray, np.ndarray, np.ndarray]]:
    close, high, low = bars
    hundred = np.full(len(close), 100.0)
    dif, dea, _ = tarvex.MACD(close, 12, 26, 9, digits=None)
    ta_dif, ta_dea, _ = talib.MACDEXT(close, 12, 1, 26, 1, 9, 1)  # EMAs seeded with the mean of their first N
    k, d, _ = tarvex.KDJ(close, high, low, 9, 3, 3)
    # K and D smooth with alpha 1/3: TA-Lib's EMA of period 5.
    ta_k, ta_d = talib.STOCH(high, low, close, fastk_period=9, slowk_period=5, slowk_matype=1, slowd_period=5,
                             slowd_matype=1)
    wilder = tarvex.SMA(true_range(close, high, low), 14, 1)  # the formula SMA(TR, 14, 1)
    ta_atr = talib.ATR(high, low, close, 14)
    return {
        "MACD DIF 12 26": (dif, ta_dif, close),
        "MACD DEA 9": (dea, ta_dea, close),
        "RSI 14": (tarvex.RSI(close, 14, digits=None), talib.RSI(close, 14), hundred),
        "RSI 6": (tarvex.RSI(close, 6, digits=None), talib.RSI(close, 6), hundred),
        "KDJ K 9 3": (k, ta_k, hundred),
        "KDJ D 9 3 3": (d, ta_d, hundred),
        "SMA(TR, 14, 1) vs ATR 14": (wilder, ta_atr, np.abs(ta_atr)),
        "ATR 14 (a plain mean)": (tarvex.ATR(close, high, low, 14), ta_atr, np.abs(ta_atr)),
    }


def settled(ours: np.ndarray, theirs: np.ndarray, scale: np.ndarray, tolerance: float) -> float:
    """The first bar from which on every difference stays below
    `tolerance`; inf when the last bar still differs."""
    with np.errstate(divide="ignore", invalid="ignore"):
        off = ~(np.abs(ours - theirs) < tolerance * scale)  # NaN on either side counts as a difference
    if off[-1]:
        return float("inf")
    return float(np.flatnonzero(off)[-1] + 1) if off.any() else 0.0


def real_bars(starts: int) -> Iterator[Tuple[str, Bars]]:
    try:
        from backtesting.test import EURUSD, GOOG
    except ImportError:
        print("(backtesting is not installed: the real bars are left out)")
        return
    for name, frame in (("GOOG daily", GOOG), ("EURUSD hourly", EURUSD)):
        bars = tuple(frame[c].to_numpy(np.float64) for c in ("Close", "High", "Low"))
        for first in np.linspace(0, len(frame) - MINIMUM_BARS, starts).astype(int):
            yield name, (bars[0][first:], bars[1][first:], bars[2][first:])


def walks(count: int, seed: int, length: int = 1000) -> Iterator[Tuple[str, Bars]]:
    rng = np.random.default_rng(seed)
    for _ in range(count):
        close = 10.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, length)))
        spread = np.abs(rng.normal(0.0, 0.01, (2, length)))
        yield "random walks", (close, close * (1 + spread[0]), close * (1 - spread[1]))


def table(samples: Iterator[Tuple[str, Bars]]) -> Dict[str, Dict[str, List[List[float]]]]:
    out: Dict[str, Dict[str, List[List[float]]]] = {}
    for source, bars in samples:
        for line, (ours, theirs, scale) in pairs(bars).items():
            counts = out.setdefault(source, {}).setdefault(line, [[] for _ in TOLERANCES])
            for i, tolerance in enumerate(TOLERANCES):
                counts[i].append(settled(ours, theirs, scale, tolerance))
    return out


def first_bar_crossings(samples: Iterator[Tuple[str, Bars]]) -> Tuple[int, int]:
    crossed = total = 0
    for _, (close, _, _) in samples:
        total += 1
        crossed += int(tarvex.crosses({"close": close[:30]}, ["macd"])["cross"][1] != 0.0)
    return crossed, total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--starts", type=int, default=40, help="first bars taken in each real series")
    parser.add_argument("--walks", type=int, default=200, help="synthetic random walks of 1000 bars")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    def cell(values: List[float]) -> str:
        text: Callable[[float], str] = lambda v: "never" if v == float("inf") else f"{v:.0f}"
        return f"{text(float(np.median(values)))} / {text(max(values))}"

    results = table(real_bars(args.starts))
    results.update(table(walks(args.walks, args.seed)))
    print("Bars from a security's first bar until tarvex and TA-Lib differ by less than 1e-3 and 1e-6 "
          "of the scale for good (median / largest):\n")
    head = f"{'':26}" + "".join(f"{source + ' ' + str(t):>22}" for source in results for t in ("1e-3", "1e-6"))
    print(head)
    for line in next(iter(results.values())):
        row = f"{line:26}"
        for source in results:
            row += "".join(f"{cell(v):>22}" for v in results[source][line])
        print(row)
    crossed, total = first_bar_crossings(walks(args.walks, args.seed))
    print(f"\nMACD crossings on the second bar: {crossed} of {total} random walks "
          f"(min_bars= keeps them out of crosses, screen and formula)")


if __name__ == "__main__":
    main()

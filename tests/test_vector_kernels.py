"""The vectorised kernels (the window statistics summed afresh for every bar,
and RD) against their scalar twins, with the processor's widest instruction
set and with TARVEX_SIMD=baseline in a child process: the same bits either
way."""
import decimal
import json
import math
import os
import random
import subprocess
import sys

import tarvex_core as tc
from helpers import INF, NAN, assert_same
from test_smoothing import slow_ma, slow_wma
from test_window import slow_avedev, slow_regression

WINDOWED = {
    "MA": slow_ma,
    "WMA": slow_wma,
    "AVEDEV": slow_avedev,
    "SLOPE": lambda s, n: slow_regression(s, n, forecast=False),
    "FORCAST": lambda s, n: slow_regression(s, n, forecast=True),
}
POOL = [NAN, INF, -INF, 0.0, -0.0, 1.0, 2.0, -3.0, 1e300, -1e300]

# Around halves, the integer limits of doubles, and values whose scaling
# overflows; each appears at several offsets so it meets every lane.
RD_EDGES = [
    0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 0.49999999999999994, -0.49999999999999994, 0.0, -0.0, -0.3, 5e-324,
    -1e-320, 2.0**52 - 0.5, -(2.0**52 - 0.5), 2.0**52, 2.0**52 + 1, 2.0**53 + 2, 4503599627370495.5,
    0.0005, 0.0015, 1.0005, 2.675, -2.675, 1234.5675, 1e300, -1e300, 1.7976931348623157e308, NAN, INF, -INF,
]
RD_DIGITS = [0, 1, 2, 3, 4, 6, 10, 15, 22, 400]


def random_series(rng, length):
    return [rng.choice(POOL) if rng.random() < 0.25 else rng.uniform(-100.0, 100.0) for _ in range(length)]


def window_cases():
    """(name, series, n): every window length 1..40 with bar counts around
    the block widths (8, 16, 32 bars), and a few series longer than one
    chunk of 2048 bars."""
    rng = random.Random(2024)
    cases = []
    for n in range(1, 41):
        for bars in (1, 7, 8, 9, 16, 17, 31, 32, 33, 47, 70):
            s = random_series(rng, n - 1 + bars)
            cases += [(name, s, n) for name in WINDOWED]
    for n in (1, 5, 33):
        s = random_series(rng, 2048 + n + 40)
        cases += [(name, s, n) for name in WINDOWED]
    return cases


def rd_cases():
    rng = random.Random(7)
    series = [RD_EDGES[k:] + RD_EDGES[:k] for k in range(5)]
    for d in range(0, 7):
        # Exact halves at d decimals as far as doubles hold them, and noise.
        series.append([rng.randrange(-10**7, 10**7) / 2 / 10**d for _ in range(203)])
        series.append([rng.uniform(-1e6, 1e6) for _ in range(101)])
    return [("RD", s, d) for s in series for d in RD_DIGITS]


def slow_rd(s, d):
    """round(x * 10^d) / 10^d, half away from zero, in exact decimal."""
    f = INF if d > 308 else 10.0 ** d
    exact = decimal.Context(prec=400, rounding=decimal.ROUND_HALF_UP)
    out = []
    for x in s:
        scaled = x * f
        if math.isnan(scaled) or math.isinf(scaled):
            out.append(x)
        else:
            whole = float(exact.quantize(decimal.Decimal(scaled), decimal.Decimal(1)))
            out.append(math.copysign(whole, scaled) / f)
    return out


def encode(values):
    return [x.hex() for x in values]


def decode(values):
    return [float.fromhex(x) for x in values]


def run_cases(cases):
    return [encode(getattr(tc, name)(s, n)) for name, s, n in cases]


CHILD = """
import json, sys
import tarvex_core as tc
cases = json.load(sys.stdin)
out = [[x.hex() for x in getattr(tc, name)([float.fromhex(v) for v in s], n)] for name, s, n in cases]
json.dump(out, sys.stdout)
"""


def run_baseline(cases):
    """The cases computed in a child process restricted to the baseline."""
    env = dict(os.environ, TARVEX_SIMD="baseline")
    payload = json.dumps([(name, encode(s), n) for name, s, n in cases])
    # The timeout only guards against a hang.
    done = subprocess.run([sys.executable, "-c", CHILD], input=payload, env=env, capture_output=True, text=True,
                          check=True, timeout=600)
    return json.loads(done.stdout)


def test_widest_and_baseline_match_the_scalar_twins():
    cases = window_cases() + rd_cases()
    here = run_cases(cases)
    baseline = run_baseline(cases)
    for (name, s, n), wide, base in zip(cases, here, baseline):
        expected = slow_rd(s, n) if name == "RD" else WINDOWED[name](s, n)
        assert_same(decode(wide), expected)
        assert_same(decode(base), expected)

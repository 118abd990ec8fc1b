"""Many Python threads calling the module at once get exactly the results
(and the errors) that one thread gets.

The interpreter switches threads between calls and, when an argument runs
Python code during its conversion (__float__, __index__, a generator), in
the middle of a call too; a very short switch interval makes that happen
often.

Nothing here depends on how fast the threads run or how the machine
schedules them: every thread must finish its whole share of calls, an
exception in a thread fails the test, and the join time limit only guards
against a hang.
"""
import math
import random
import struct
import sys
import threading
import time

import pytest

import tarvex_core as tc

THREADS = 12
REPEATS = 15
HANG_GUARD = 1800  # seconds


class SlowFloat:
    """A number whose conversion lets other threads run."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        time.sleep(0)
        return self.v


class SlowIndex:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        time.sleep(0)
        return self.v


def walk(seed, n):
    rng = random.Random(seed)
    out, x = [], 10.0
    for _ in range(n):
        x += rng.uniform(-0.5, 0.5)
        out.append(round(x, 2))
    out[n // 3] = math.nan
    return out


CLOSE = walk(1, 300)
HIGH = [c + 0.5 for c in CLOSE]
LOW = [c - 0.5 for c in CLOSE]
OPEN = walk(2, 300)
VOL = [abs(v) * 100.0 for v in walk(3, 300)]
SLOW_CLOSE = [SlowFloat(v) for v in CLOSE]

ROWS = 600
CODES = [600000 + i % 3 for i in range(ROWS)]
DATES = [20240000 + i // 3 for i in range(ROWS)]
T_CLOSE = walk(4, ROWS)
T_HIGH = [c + 0.25 for c in T_CLOSE]
T_LOW = [c - 0.25 for c in T_CLOSE]
T_OPEN = walk(5, ROWS)
T_VOL = [abs(v) * 10.0 for v in walk(6, ROWS)]
TABLE = (CODES, DATES, T_OPEN, T_HIGH, T_LOW, T_CLOSE, T_VOL)


def slow_generator_series():
    class Lazy(list):
        def __iter__(self):
            for v in list.__iter__(self):
                time.sleep(0)
                yield v
    return Lazy(CLOSE)


WORKLOAD = [
    ("MA", (CLOSE, 5)),
    ("EMA", (SLOW_CLOSE, 12)),
    ("SMA", (CLOSE, 9, SlowIndex(2))),
    ("STD", (CLOSE, 20)),
    ("HHV", (HIGH, 10)),
    ("SUM", (slow_generator_series(), 0)),
    ("IF", (CLOSE, HIGH, SlowFloat(1.5))),
    ("CROSS", (CLOSE, LOW)),
    ("BARSLAST", (CLOSE,)),
    ("RET", (CLOSE, 3)),
    ("MACD", (SLOW_CLOSE,)),
    ("KDJ", (CLOSE, HIGH, LOW)),
    ("BOLL", (CLOSE, 20, 2.0)),
    ("DMI", (CLOSE, HIGH, LOW)),
    ("XSII", (CLOSE, HIGH, LOW)),
    ("ASI", (OPEN, CLOSE, HIGH, LOW)),
    ("MFI", (CLOSE, HIGH, LOW, VOL)),
    ("BATCH", (["macd", "kdj", "ma", "boll", "rsi"], [[], [], [5, 10, 20]]) + TABLE),
    ("BATCH", (["MA", "ref"], [[SlowIndex(3)], [2]]) + TABLE),
    ("BATCH_CROSS", (["ma", "macd", "kdj"], [[5, 10]]) + TABLE + (True,)),
    ("ZHISHU", TABLE + (T_VOL, T_VOL, T_VOL, 2, 1000.0)),
    # failing calls: the same error every time
    ("MA", (CLOSE[:5] + ["x"], 2)),
    ("MA", (CLOSE, SlowIndex(-1))),
    ("RET", (CLOSE, 0)),
    ("CROSS", (CLOSE, LOW[:10])),
    ("BATCH", (["nope"], []) + TABLE),
    ("BATCH", (["ma"], []) + TABLE[:-1] + (T_VOL[:-1],)),
    ("ZHISHU", TABLE + (T_VOL, T_VOL, T_VOL, 9)),
]


def canonical(value):
    """A comparable form of a result: floats by their bits, NaN as one value."""
    if isinstance(value, float):
        return "nan" if math.isnan(value) else struct.pack("<d", value)
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(canonical(v) for v in value))
    return value


def perform(name, args):
    try:
        return ("ok", canonical(getattr(tc, name)(*args)))
    except Exception as exc:
        return ("error", type(exc).__name__, str(exc), tuple(getattr(exc, "__notes__", ())))


@pytest.fixture
def short_switch_interval():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


class Worker(threading.Thread):
    """A daemon thread (a stuck one cannot keep the interpreter from
    exiting) that keeps the exception its target raised, and breaks the
    barrier its peers wait at so that they do not wait for it."""

    def __init__(self, target, args=(), barrier=None):
        super().__init__(target=target, args=args, daemon=True)
        self.barrier, self.error = barrier, None

    def run(self):
        try:
            super().run()
        except BaseException as exc:  # reported by finish(), whatever it is
            self.error = exc
            if self.barrier is not None:
                self.barrier.abort()


def start(threads, barrier=None):
    try:
        for t in threads:
            t.start()
    except BaseException:
        if barrier is not None:
            barrier.abort()  # a thread that never started cannot meet the others
        raise


def finish(threads):
    """Waits for every thread; one that raised fails the test."""
    for t in threads:
        t.join(HANG_GUARD)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    errors = [t.error for t in threads if t.error is not None]
    assert not errors, errors[:3]


def test_threads_get_the_results_of_one_thread(short_switch_interval):
    expected = [perform(name, args) for name, args in WORKLOAD]
    assert {e[0] for e in expected} == {"ok", "error"}
    mismatches, done = [], []
    barrier = threading.Barrier(THREADS)

    def worker(seed):
        order = list(range(len(WORKLOAD)))
        rng = random.Random(seed)
        barrier.wait()
        for _ in range(REPEATS):
            rng.shuffle(order)
            for i in order:
                got = perform(*WORKLOAD[i])
                if got != expected[i]:
                    mismatches.append((seed, WORKLOAD[i][0], got[:2], expected[i][:2]))
                done.append(i)

    threads = [Worker(worker, (seed,), barrier) for seed in range(THREADS)]
    start(threads, barrier)
    finish(threads)
    assert not mismatches, mismatches[:5]
    assert len(done) == THREADS * REPEATS * len(WORKLOAD)


def test_threads_sharing_and_dropping_arguments(short_switch_interval):
    """Threads drop their own references to shared argument lists while
    others are converting them: every call still sees the whole list."""
    expected = canonical(tc.EMA(CLOSE, 7))
    results = []

    def convert(series):
        results.append(canonical(tc.EMA(series, 7)))

    def worker():
        for _ in range(30):
            shared = [SlowFloat(v) for v in CLOSE]
            inner = [Worker(convert, (shared,)) for _ in range(3)]
            start(inner)
            del shared
            finish(inner)

    threads = [Worker(worker) for _ in range(4)]
    start(threads)
    finish(threads)
    assert len(results) == 4 * 30 * 3
    assert all(r == expected for r in results)

"""The `tarvex` package against `tarvex_core`: the same bits for every
function, whatever the input's kind, dtype and stride, the segmentation or
the number of threads."""
import contextlib
import inspect
import math
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import tarvex as tv
import tarvex_core as tc
from helpers import assert_same

NAMES = [r.name for r in tv.catalog("function") if r.core]
SPECIAL = [0.0, -0.0, math.nan, math.inf, -math.inf, 1.0, -1.0]


def random_series(rng, n):
    return [rng.choice(SPECIAL) if rng.random() < 0.08 else rng.uniform(-3, 3) for _ in range(n)]


def random_call(rng, name, n):
    """Arguments for one call: series of one length, small parameters, a
    scalar now and then where a number may stand for a series."""
    kinds = tv._catalog.function(name).kinds
    params = list(inspect.signature(getattr(tc, name)).parameters)
    args = []
    for param, kind in zip(params, kinds):
        if kind == "s":
            args.append(random_series(rng, n))
        elif kind == "v":
            args.append(rng.uniform(-2, 2) if rng.random() < 0.3 else random_series(rng, n))
        elif kind in "ud":
            args.append(rng.choice([0, 1, 2, 3, 5, 9, n, n + 1]))
        else:
            args.append(rng.choice([0.5, 2.0, -1.0, 0.0]))
    return args


def core_result(name, args):
    out = getattr(tc, name)(*args)
    return out if isinstance(out, (tuple, float)) else (out,)


def as_tuple(out):
    return out if isinstance(out, tuple) else (out,)


@pytest.mark.parametrize("name", NAMES)
def test_every_function_matches_the_core_module(name):
    rng = random.Random(name)
    for n in [0, 1, 2, 7, 40]:
        for _ in range(4):
            args = random_call(rng, name, n)
            if name == "RET" and (args[1] == 0 or n == 0):
                continue
            expected = core_result(name, args)
            arrays = [np.array(a) if isinstance(a, list) else a for a in args]
            got = getattr(tv, name)(*arrays)
            if isinstance(expected, float):
                assert_same([got], [expected])
                continue
            got = as_tuple(got)
            assert len(got) == len(expected)
            for g, e in zip(got, expected):
                assert isinstance(g, np.ndarray) and g.dtype == np.float64
                assert_same(g.tolist(), e)


@pytest.mark.parametrize("name", NAMES)
def test_long_results_write_every_bar(name):
    # Results of 40,000 bars take blocks that earlier results freed, still
    # holding those results' values (7.0 here): every bar must be written
    # anew, segmented or not.
    rng = random.Random(f"long {name}")
    n = 40_000
    args = random_call(rng, name, 3)  # parameters for a short call, series lengthened below
    values = np.random.default_rng(len(name)).uniform(-3, 3, n)
    values[::97] = np.nan
    args = [values.copy() if isinstance(a, list) else a for a in args]
    args = [a if not isinstance(a, int) or a <= 3 else 5 for a in args]
    if name == "RET":
        args[1] = max(args[1], 1)
    expected = core_result(name, [a.tolist() if isinstance(a, np.ndarray) else a for a in args])
    for starts in (None, [0, 1, 333, 334, 20_001]):
        for _ in range(3):
            tv.CONST(np.full(n, 7.0))  # freed at once: its block goes back to the cache
        got = getattr(tv, name)(*args, starts=starts)
        if starts is not None:
            pieces = [np.r_[starts, n][k:k + 2] for k in range(len(starts))]
            expected_parts = [core_result(name, [a[lo:hi].tolist() if isinstance(a, np.ndarray) else a
                                                 for a in args]) for lo, hi in pieces]
            if isinstance(expected_parts[0], float):
                assert_same(as_tuple(got)[0].tolist(), expected_parts)
                continue
            want = [sum((list(part[j]) for part in expected_parts), []) for j in range(len(expected_parts[0]))]
        else:
            if isinstance(expected, float):
                assert_same([got], [expected])
                continue
            want = expected
        for g, e in zip(as_tuple(got), want):
            assert_same(g.tolist(), e)


@pytest.mark.parametrize("name", NAMES)
def test_segments_equal_separate_calls_on_any_number_of_threads(name):
    rng = random.Random(f"segments {name}")
    lengths = [rng.choice([0, 1, 3, 17, 60]) or 1 for _ in range(25)]
    starts = np.cumsum([0] + lengths[:-1])
    total = sum(lengths)
    args = random_call(rng, name, total)
    arrays = [np.array(a) if isinstance(a, list) else a for a in args]
    pieces = []
    for first, count in zip(starts, lengths):
        part = [a[first:first + count] if isinstance(a, np.ndarray) else a for a in arrays]
        pieces.append(as_tuple(getattr(tv, name)(*part)))
    for threads in (1, 2, 5):
        got = as_tuple(getattr(tv, name)(*arrays, starts=starts, threads=threads))
        for k, column in enumerate(got):
            expected = [p[k] for p in pieces] if name == "RET" else np.concatenate([p[k] for p in pieces])
            assert_same(np.asarray(column).tolist(), list(np.asarray(expected, dtype=float)))


@pytest.mark.parametrize("make", [
    lambda v: np.array(v, dtype=np.float32),
    lambda v: np.array(v, dtype=np.int32)[::1],
    lambda v: np.repeat(np.array(v, dtype=np.int64), 2)[::2],
    lambda v: np.array(v, dtype=">f8"),
    lambda v: np.array(v, dtype=np.float64)[::-1][::-1],
    lambda v: np.array(v) > 2,
    lambda v: [int(x) for x in v],
    lambda v: tuple(v),
], ids=["float32", "int32", "int64 strided", "big-endian", "reversed view", "bool", "list", "tuple"])
def test_any_real_input_gives_the_doubles_of_its_values(make):
    data = make([3, 1, 4, 1, 5, 9, 2, 6, 5, 3])
    as_floats = [float(x) for x in data]
    assert_same(tv.WMA(data, 3).tolist(), tc.WMA(as_floats, 3))


@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.bool_])
def test_masked_values_are_missing(dtype):
    data = np.ma.masked_array(np.array([3, 1, 4, 1, 5, 9], dtype=dtype), mask=[0, 1, 0, 0, 1, 0])
    as_floats = [math.nan if hidden else float(x) for x, hidden in zip(data.data, data.mask)]
    assert_same(tv.WMA(data, 2).tolist(), tc.WMA(as_floats, 2))


def test_times_durations_complex_and_text_are_no_numbers():
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    from tarvex.formula import FormulaError, formula

    days = pd.Series(pd.date_range("2024-01-01", periods=3))
    texts = pd.Series(["1", "2", "3"])
    arrow = [days.astype(pd.ArrowDtype(pa.timestamp("ns"))), (days - days[0]).astype(pd.ArrowDtype(pa.duration("ns"))),
             texts.astype(pd.ArrowDtype(pa.string()))]
    for series in (*arrow, texts.tolist(), list(days.to_numpy())):
        with pytest.raises(TypeError, match="real numbers"):
            tv.MA(series, 2)
    for column in (days, days.to_numpy(), days - days[0], np.array([1 + 2j, 3, 4])):
        with pytest.raises(FormulaError, match="not numeric"):
            formula("C", {"close": column})


def test_pandas_and_polars_come_back_in_their_kind():
    pd = pytest.importorskip("pandas")
    close = pd.Series([1.0, 2.0, None, 4.0, 5.0], index=list("abcde"), dtype="Float64")
    out = tv.MA(close, 2)
    assert isinstance(out, pd.Series) and list(out.index) == list("abcde")
    assert_same(out.tolist(), tc.MA([1.0, 2.0, math.nan, 4.0, 5.0], 2))
    macd = tv.MACD(pd.Series(np.linspace(1, 2, 40), index=range(100, 140)))
    assert list(macd.dea.index) == list(range(100, 140)) and macd.dea.name == "dea"
    pl = pytest.importorskip("polars")
    out = tv.EMA(pl.Series("c", [1, 2, None, 4]), 3)
    assert isinstance(out, pl.Series)
    assert_same(out.to_list(), tc.EMA([1.0, 2.0, math.nan, 4.0], 3))


def test_clear_errors():
    with pytest.raises(ValueError, match="'s1' has 3 values but 's2' has 2"):
        tv.CROSS(np.zeros(3), np.zeros(2))
    with pytest.raises(TypeError, match="one-dimensional"):
        tv.MA(np.zeros((3, 2, 2)), 2)
    with pytest.raises(TypeError, match="real numbers"):
        tv.MA(np.array(["a", "b"]), 2)
    with pytest.raises(OverflowError, match="n must be between 0 and"):
        tv.MA(np.zeros(3), -1)
    with pytest.raises(ValueError, match="starts"):
        tv.MA(np.zeros(3), 2, starts=[0, 2, 1])
    with pytest.raises(ValueError, match="starts"):
        tv.MA(np.zeros(3), 2, starts=[1])
    assert_same(tv.CROSS(np.array([70.0, 90.0, 70.0]), 80).tolist(), [0.0, 1.0, -1.0])


def test_nothing_reachable_from_python_frees_a_result_in_use():
    r = tv.EMA(np.ones(10**6), 5)
    # NumPy keeps the memory object, with the capsule it read, as the base.
    memory = r.base[0] if isinstance(r.base, tuple) else r.base
    for name in ("owner", "__array_interface__", "__array_struct__"):
        with contextlib.suppress(AttributeError, TypeError):
            setattr(memory, name, None)
    with pytest.raises(TypeError):
        type(memory)()
    tv.EMA(np.full(10**6, 7.0), 5)  # would reuse freed memory
    assert (r == 1.0).all()


def test_results_own_their_memory():
    x = np.arange(100.0)
    out = tv.MA(x, 5)
    del x
    assert out.base is not None and out[-1] == 97.0
    out[0] = 1.0  # writable


def run_child(code, **environment):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)), **environment)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)


def test_the_lock_is_released_during_a_long_call():
    x = np.random.default_rng(1).random(200_000)
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(1)
            done.wait(0.001)

    t = threading.Thread(target=tick)
    t.start()
    before = len(ticks)
    tv.MA(x, 20_000)  # seconds of work
    during = len(ticks) - before
    done.set()
    t.join()
    assert during > 5


def test_ctrl_c_interrupts_a_long_call():
    child = run_child("""
        import numpy as np, sys, tarvex as tv
        x = np.random.default_rng(0).random(1_000_000)
        print("started", flush=True)
        try:
            tv.MA(x, 100_000)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
            tv.MA(x[:10], 2)
            print("still working", flush=True)
    """)
    assert child.stdout.readline().strip() == "started"
    import time
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=600)
    assert out.splitlines() == ["interrupted", "still working"], err


def test_a_forked_child_gets_a_pool_of_its_own():
    child = run_child("""
        import os, numpy as np, tarvex as tv
        x = np.random.default_rng(0).random(10_000)
        starts = np.arange(0, 10_000, 100)
        a = tv.MA(x, 5, starts=starts, threads=4)
        pid = os.fork()
        if pid == 0:
            b = tv.MA(x, 5, starts=starts, threads=4)
            os._exit(0 if np.array_equal(a, b, equal_nan=True) else 1)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
    """)
    out, err = child.communicate(timeout=600)
    assert out.strip() == "child 0", err


@pytest.mark.parametrize("name", ["MACD", "RSI", "WR", "BIAS", "PSY", "BOLL"])
def test_digits_none_gives_the_values_before_rounding(name):
    rng = np.random.default_rng(7)
    close = 1 + rng.standard_normal(300).cumsum() * 1e-4
    bars = {"close": close, "high": close + 1e-4, "low": close - 1e-4}
    inputs = [bars[p] for p in inspect.signature(tc.__dict__[name]).parameters if p in bars]
    raw = as_tuple(getattr(tv, name)(*inputs, digits=None))
    default = as_tuple(getattr(tv, name)(*inputs))
    five = as_tuple(getattr(tv, name)(*inputs, digits=5))
    for r, d, f in zip(raw, default, five):
        assert_same(d.tolist(), tc.RD(r.tolist(), 3))
        assert_same(f.tolist(), tc.RD(r.tolist(), 5))


def test_eight_threads_on_shared_inputs_get_the_results_of_one():
    rng = np.random.default_rng(11)
    close = 10 + rng.standard_normal(20_000).cumsum() * 0.05
    starts = np.arange(0, close.size, 500)
    calls = [lambda: tv.KDJ(close, close + 0.1, close - 0.1, starts=starts).k,
             lambda: tv.MA(close, 50),
             lambda: tv.HHVBARS(close, 300, starts=starts, threads=2),
             lambda: tv.MACD(close, digits=None).dea]
    expected = [c() for c in calls]
    failures = []

    def worker(k):
        for i in range(12):
            got = calls[(k + i) % len(calls)]()
            if not np.array_equal(got, expected[(k + i) % len(calls)], equal_nan=True):
                failures.append((k, i))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
def test_whole_market_calls_use_the_default_thread_count():
    child = run_child("""
        import os, numpy as np, tarvex as tv

        def workers():
            names = [open(f"/proc/self/task/{t}/comm").read().strip() for t in os.listdir("/proc/self/task")]
            return names.count("tarvex-worker")

        x = np.random.default_rng(0).random(100_000)
        tv.MA(x, 5, starts=np.arange(0, 100_000, 100))
        tv.batch(["ma"], [[5]], np.repeat(np.arange(100), 1000), np.tile(np.arange(1000), 100), x, x, x, x, x)
        print(workers(), tv.default_threads())
    """, TARVEX_THREADS="3")
    out, err = child.communicate(timeout=600)
    assert out.split() == ["2", "3"], err


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
def test_thread_counts_are_capped_and_a_call_wakes_only_its_workers():
    child = run_child("""
        import os, numpy as np, tarvex as tv

        def workers():
            tasks = [f"/proc/self/task/{t}" for t in os.listdir("/proc/self/task")]
            tasks = [t for t in tasks if open(t + "/comm").read().strip() == "tarvex-worker"]
            woken = sum(int(line.split()[1]) for t in tasks for line in open(t + "/status")
                        if line.startswith("voluntary_ctxt_switches"))
            return len(tasks), woken

        x = np.ones(3000)
        tv.MA(x, 5, starts=np.arange(3000), threads=2000)
        count, woken = workers()
        for _ in range(20):
            tv.MA(x, 5, starts=[0, 1500], threads=2)
        print(count, workers()[1] - woken, tv.default_threads() == os.cpu_count())
    """, TARVEX_THREADS="-3")
    out, err = child.communicate(timeout=600)
    count, woken, default = out.split()
    # at most 1024 threads with the caller's; each call lends one worker
    assert int(count) <= 1023 and int(woken) < 200 and default == "True", (out, err)


def test_the_quick_path_of_plain_calls_gives_the_general_paths_result():
    from tarvex._functions import FUNCTIONS

    rng = np.random.default_rng(3)
    c = np.round(rng.uniform(5, 50, 300), 2)
    h, l = c + 1.0, c - 1.0
    taken = [("MA", (c, 20), {}), ("MACD", (c,), {"digits": None}), ("MACD", (c, 5, 9, 3), {}),
             ("KDJ", (c, h, l), {}), ("EMA", (c[:0], 5), {}), ("EMA", (c[::2], 5), {}), ("RET", (c, 3), {}),
             ("BOLL", (c, 20, 2), {"digits": 1}), ("POW", (c, 0.5), {}), ("IF", (c > 20, h, 7.5), {}),
             ("SAR", (h, l, 10, 2, 20), {})]
    for name, args, kwargs in taken:
        f = FUNCTIONS[name]
        args = tuple(a.astype(np.float64) if isinstance(a, np.ndarray) else a for a in args)
        quick, general = f.quick(args, kwargs), f(*args, **kwargs)
        assert quick is not None, name
        for a, b in zip(np.atleast_1d(*quick) if isinstance(quick, tuple) else [quick],
                        general if isinstance(general, tuple) else [general]):
            assert np.array_equal(np.asarray(a).view(np.int64), np.asarray(b).view(np.int64)), name
    # Anything else takes the general path, which words the errors.
    declined = [("MA", (c, -1), {}), ("MA", (c, True), {}), ("MA", (c.astype(np.float32), 2), {}),
                ("MA", (c, 2.0), {}), ("MA", (c,), {}), ("MA", (c, 2), {"starts": [0]}), ("KDJ", (c, h, l[:9]), {}),
                ("MA", (c.reshape(30, 10), 2), {}), ("MA", (list(c), 2), {}), ("IF", (c, h, 7), {}),
                ("POW", (1.0, 2.0), {}), ("MA", (c, 2, 3), {}), ("MA", (c, 2**64), {})]
    for name, args, kwargs in declined:
        assert FUNCTIONS[name].quick(args, kwargs) is None, (name, args)

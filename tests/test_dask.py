"""tarvex.dask on a two-process local cluster: tables and screens equal to
the single-machine path bit for bit whatever partitions the rows arrive in,
frames already partitioned by code (empty partitions included) taken as they
are, and a worker process lost mid-run replaced without changing the result."""
import os
import time

import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import tarvex as tv  # noqa: E402
import tarvex.dask as td  # noqa: E402

SPECS = ["macd", "kdj", ("ma", [5, 20]), ("rsi", 6), "obv"]
FORMULA = "DIF:=EMA(C,12)-EMA(C,26); DEA:=EMA(DIF,9); DIF>DEA AND C>MA(C,20);"
DAY = np.datetime64("2024-03-01", "ns")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


def market(code_kind, codes=300, days=70, seed=7):
    """Bars of `codes` securities with a few missing closes and missing
    days, rows in random order."""
    rng = np.random.default_rng(seed)
    ids = np.repeat(rng.permutation(codes * 3)[:codes], days)
    day = np.tile(np.arange(days), codes)
    keep = rng.random(ids.size) > 0.03
    ids, day = ids[keep], day[keep]
    n = ids.size
    c = 10 + rng.standard_normal(n).cumsum() * 0.05
    c[rng.random(n) < 0.02] = np.nan
    df = pd.DataFrame({
        "code": [f"{i:06d}" for i in ids] if code_kind == "str" else ids.astype(np.int64),
        "date": DAY - np.timedelta64(40, "D") + day.astype("timedelta64[D]"),
        "open": c + 0.05, "high": c + 0.2, "low": c - 0.2, "close": c,
        "volume": rng.integers(1000, 9000, n).astype(float),
    })
    return df.sample(frac=1.0, random_state=seed).reset_index(drop=True)


def assert_same_table(got, expected):
    """Equal rows once sorted by code and date; floats equal bit for bit."""
    got = got.sort_values(["code", "date"], kind="stable").reset_index(drop=True)
    assert list(got.columns) == list(expected.columns) and len(got) == len(expected)
    for name in expected.columns:
        a, e = got[name].to_numpy(), expected[name].to_numpy()
        if e.dtype == np.float64:
            assert a.dtype == np.float64 and np.array_equal(a.view(np.uint64), e.view(np.uint64)), name
        else:
            assert a.tolist() == e.tolist(), name


def chunks_by_code(df, parts):
    """`parts` frames, each holding whole codes, the middle one empty."""
    codes = np.sort(df["code"].unique())
    groups = np.array_split(codes, parts - 1)
    frames = [df[df["code"].isin(g)] for g in groups]
    frames.insert(parts // 2, df.iloc[:0])
    return frames


@pytest.mark.parametrize("code_kind", ["str", "int"])
def test_shuffled_rows_give_the_single_machine_results(client, code_kind):
    df = market(code_kind)
    ddf = dd.concat([dd.from_pandas(df, npartitions=6), dd.from_pandas(df.iloc[:0], npartitions=1)])
    table = td.indicators(ddf, SPECS)
    assert isinstance(table, dd.DataFrame) and list(table.columns) == list(tv.indicators(df.iloc[:0], SPECS).columns)
    assert_same_table(table.compute(), tv.indicators(df, SPECS))
    assert_same_table(td.crosses(ddf, ["macd", "kdj"], keep_values=True).compute(),
                      tv.crosses(df, ["macd", "kdj"], keep_values=True))
    assert td.screen(FORMULA, ddf) == tv.screen(FORMULA, df)
    hits = td.screen(FORMULA, ddf, date=str(DAY)[:10])
    assert hits == tv.screen(FORMULA, df, date=DAY) and 0 < len(hits) < 300


def test_period_and_adjusted_prices_give_the_single_machine_results(client):
    df = market("str", codes=60, days=120, seed=3)
    codes = df["code"].unique()
    events = pd.DataFrame({"code": [*codes[:5], "absent"], "date": DAY - np.timedelta64(20, "D"),
                           "cash": 0.1, "bonus": [0.0, 0.5, 0.0, 0.2, 0.0, 0.1]})
    ddf = dd.from_pandas(df, npartitions=4)
    with pytest.warns(UserWarning, match="absent") as caught:
        table = td.indicators(ddf, SPECS, period="W", adjust=events).compute()
    assert len(caught) == 1  # reported once, not by every partition holding other codes
    with pytest.warns(UserWarning, match="absent"):
        assert_same_table(table, tv.indicators(df, SPECS, period="W", adjust=events))
        day = str(DAY - np.timedelta64(9, "D"))[:10]
        assert td.screen(FORMULA, ddf, day, period="W", adjust=events) == \
            tv.screen(FORMULA, df, day, period="W", adjust=events)


def test_frames_partitioned_by_code_are_taken_as_they_are(client):
    df = market("str", codes=120, seed=11)
    expected = tv.indicators(df, SPECS)
    parts = chunks_by_code(df, 5)
    ddf = dd.from_map(lambda i: parts[i], range(len(parts)))
    assert_same_table(td.indicators(ddf, SPECS, partitioned=True).compute(), expected)
    assert td.screen(FORMULA, ddf, partitioned=True) == tv.screen(FORMULA, df)
    # A code index with known divisions needs no shuffle either.
    indexed = dd.from_pandas(df.set_index("code").sort_index(), npartitions=4)
    assert indexed.known_divisions
    assert_same_table(td.indicators(indexed, SPECS, progress=True), expected)
    with pytest.raises(ValueError, match="more than one partition"):
        td.indicators(dd.from_pandas(df, npartitions=3), SPECS, partitioned=True)


def test_a_worker_lost_mid_run_leaves_the_result_unchanged(client):
    df = market("int", codes=100, seed=5)
    go = distributed.Event("tarvex-dask-go")

    def gate(part, partition_info=None):
        # Every input partition but the first waits until the test lets it go.
        if partition_info is not None and partition_info["number"] > 0:
            distributed.Event("tarvex-dask-go").wait(timeout=300)
        return part

    ddf = dd.from_pandas(df, npartitions=6).map_partitions(gate, meta=df.iloc[:0])
    future = client.compute(td.indicators(ddf, SPECS))
    for _ in range(6000):  # a hang guard only
        busy = [w for w, keys in client.processing().items() if keys]
        if busy:
            break
        time.sleep(0.05)
    assert busy
    async def die():  # run without waiting for an answer, which never comes
        os._exit(1)

    client.run(die, workers=busy[:1], wait=False)
    go.set()
    assert_same_table(future.result(timeout=300), tv.indicators(df, SPECS))


def test_arguments_fail_before_any_work(client):
    ddf = dd.from_pandas(market("str", codes=10), npartitions=2)
    with pytest.raises(ValueError, match="unknown indicator"):
        td.indicators(ddf, ["nope"])
    with pytest.raises(ValueError, match="code column"):
        td.indicators(ddf.drop(columns="code"), SPECS)
    with pytest.raises(tv.FormulaError):
        td.screen("C>MA(C,5", ddf)
    with pytest.raises(TypeError, match="Dask DataFrame"):
        td.screen(FORMULA, market("str", codes=10))


def test_a_code_split_between_parquet_files_gives_the_single_machine_results(client, tmp_path):
    df = market("str", codes=3, days=60, seed=5).sort_values(["code", "date"], ignore_index=True)
    b = df["code"].unique()[1]
    cut = int(np.flatnonzero(df["code"] == b)[30])
    df.iloc[:cut].to_parquet(tmp_path / "1.parquet", index=False)
    df.iloc[cut:].to_parquet(tmp_path / "2.parquet", index=False)
    ddf = dd.read_parquet(str(tmp_path), index="code", calculate_divisions=True)
    assert ddf.known_divisions
    expected = tv.indicators(df, SPECS, digits=None)
    assert_same_table(td.indicators(ddf, SPECS, digits=None).compute(), expected)
    assert td.screen("C>0", ddf) == tv.screen("C>0", df)
    signals = tv.crosses(df, ["macd"], min_bars=5)
    assert_same_table(td.crosses(ddf, ["macd"], min_bars=5).compute(), signals)

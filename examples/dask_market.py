"""A whole market on Dask: writes a synthetic market (20,000 codes x 2,500
daily bars by default) as Parquet files holding whole codes each, then
computes an indicator table (written back as Parquet) and a formula screen
on a Dask cluster, printing the time of each stage and the rows per second.

    python examples/dask_market.py                      # 2 local worker processes
    python examples/dask_market.py --codes 2000 --bars 1000
    python examples/dask_market.py --scheduler tcp://host:8786 --dir /shared/market

With --compare the same files also go through the single-machine path
(pandas.read_parquet, tarvex.indicators, tarvex.screen) for the ratio of
the two. Needs the dask extra: pip install '.[dask]' (from a checkout).
"""
# mypy: untyped-calls-exclude="distributed,dask"
# (the cluster and scheduler calls of distributed and dask are not annotated)
import argparse
import os
import resource
import shutil
import tempfile
import time
from typing import Any, Callable, List, Tuple, TypeVar, Union

import numpy as np
import pandas as pd

import tarvex
import tarvex.dask as td

INDICATORS: List[Union[str, Tuple[str, Any]]] = ["macd", "kdj", ("ma", [5, 10, 20, 60]), ("rsi", 6)]
SCREEN = "DIF:=EMA(C,12)-EMA(C,26); DEA:=EMA(DIF,9); CROSS(DIF,DEA) AND C>MA(C,20);"
FIRST_DAY = "2015-01-05"

T = TypeVar("T")


def write_market(folder: str, codes: int, bars: int, codes_per_file: int, seed: int = 1) -> None:
    """One Parquet file per `codes_per_file` codes, rows ordered by code then
    date: a seeded random walk per security on weekdays from FIRST_DAY."""
    os.makedirs(folder, exist_ok=True)
    days = np.busday_offset(FIRST_DAY, np.arange(bars), roll="forward").astype("datetime64[ns]")
    rng = np.random.default_rng(seed)
    for number, first in enumerate(range(0, codes, codes_per_file)):
        count = min(codes_per_file, codes - first)
        n = count * bars
        steps = rng.normal(0.0, 0.02, (count, bars))
        close = np.round(10.0 * np.exp(np.cumsum(steps, axis=1)), 2).ravel()
        swing = np.abs(rng.normal(0.0, 0.01, n)) * close
        opening = np.round(close * (1 + rng.normal(0.0, 0.005, n)), 2)
        pd.DataFrame({
            "code": np.repeat([f"{600000 + c:06d}" for c in range(first, first + count)], bars),
            "date": np.tile(days, count),
            "open": opening,
            "high": np.round(np.maximum(opening, close) + swing, 2),
            "low": np.round(np.minimum(opening, close) - swing, 2),
            "close": close,
            "volume": rng.integers(10_000, 1_000_000, n).astype(np.float64),
        }).to_parquet(os.path.join(folder, f"part-{number:05d}.parquet"), index=False)


def stage(name: str, rows: int, work: Callable[[], T]) -> Tuple[T, float]:
    start = time.perf_counter()
    result = work()
    seconds = time.perf_counter() - start
    print(f"{name:<38} {seconds:8.2f} s  {rows / seconds:14,.0f} rows/s")
    return result, seconds


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # kB on Linux


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--codes", type=int, default=20_000)
    parser.add_argument("--bars", type=int, default=2_500)
    parser.add_argument("--codes-per-file", type=int, default=500, help="codes per Parquet file (partition)")
    parser.add_argument("--dir", help="folder for the market and the table (default: a temporary one)")
    parser.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes without --scheduler")
    parser.add_argument("--threads", type=int, default=1, help="engine threads within each partition")
    parser.add_argument("--compare", action="store_true", help="also run the single-machine path")
    parser.add_argument("--progress", action="store_true", help="show Dask's progress bars")
    args = parser.parse_args()

    from distributed import Client, LocalCluster, progress
    import dask.dataframe as dd

    folder = args.dir or tempfile.mkdtemp(prefix="tarvex-market-")
    market, table = os.path.join(folder, "market"), os.path.join(folder, "indicators")
    rows = args.codes * args.bars
    print(f"market: {args.codes:,} codes x {args.bars:,} bars = {rows:,} rows in {folder}")
    if not os.path.isdir(market):
        stage("write market (Parquet)", rows, lambda: write_market(market, args.codes, args.bars, args.codes_per_file))

    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    print(f"cluster: {len(client.scheduler_info()['workers'])} workers")
    try:
        # Each file holds whole codes, so no shuffle is needed.
        data = dd.read_parquet(market)
        shutil.rmtree(table, ignore_errors=True)
        frame = td.indicators(data, INDICATORS, threads=args.threads, partitioned=True)
        writing = frame.to_parquet(table, compute=False)

        def write_table() -> Any:
            if not args.progress:
                return writing.compute()
            future = client.compute(writing)
            progress(future)
            return future.result()

        _, dask_table = stage("dask: indicator table -> Parquet", rows, write_table)
        hits, dask_screen = stage("dask: screen on the last bar", rows,
                                  lambda: td.screen(SCREEN, data, partitioned=True, progress=args.progress))
        print(f"screen: {len(hits)} codes, e.g. {hits[:5]}")
        peaks = client.run(peak_rss_mib)
        print("peak memory per worker: " + ", ".join(f"{m:,.0f} MiB" for m in peaks.values()))
        one_file = os.path.join(market, sorted(os.listdir(market))[0])
        part = pd.read_parquet(one_file)
        print(f"one partition: {len(part):,} rows, {part.memory_usage(deep=True).sum() / 2**20:,.0f} MiB in memory; "
              f"market: {rows:,} rows, about {part.memory_usage(deep=True).sum() / len(part) * rows / 2**20:,.0f} MiB")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    if args.compare:
        single = os.path.join(folder, "indicators-single.parquet")

        def whole_table() -> None:
            tarvex.indicators(pd.read_parquet(market), INDICATORS).to_parquet(single, index=False)

        _, one_table = stage("single machine: indicator table", rows, whole_table)
        whole = pd.read_parquet(market)
        single_hits, one_screen = stage("single machine: screen", rows, lambda: tarvex.screen(SCREEN, whole))
        assert single_hits == hits
        print(f"dask / single machine: table {dask_table / one_table:.2f}x, screen {dask_screen / one_screen:.2f}x; "
              f"peak memory of this process {peak_rss_mib():,.0f} MiB")
    if not args.dir:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()

"""The registry both modules are built from: tarvex_core's rows, the batch
indicators, their crossing pairs, the catalog, and the generated files."""
import inspect
import math
import random

import numpy as np
import pytest

import tarvex
import tarvex_core as tc
from tarvex import _native

ENTRIES = _native.registry()
INDICATORS = tarvex.catalog()
EMPTY = ([], [], [], [], [], [], [])


def test_entries_are_tarvex_core_rows():
    # tarvex_core keeps its function list; the array package's own
    # functions stay off it.
    core = [e for e in ENTRIES if e["core"]]
    assert [e["name"] for e in core] + [t["name"] for t in tarvex._catalog.tables()] == tc.__all__
    assert not any(hasattr(tc, e["name"]) for e in ENTRIES if not e["core"])
    for e in core:
        params = list(inspect.signature(getattr(tc, e["name"])).parameters.values())
        assert [p[0] for p in e["params"]] == [p.name for p in params]
        for (_, _, default, *_), p in zip(e["params"], params):
            assert (p.default is inspect.Parameter.empty) == (default is None)
            if default is not None:
                assert repr(p.default) == default
        assert getattr(tc, e["name"]).__doc__ == e["zh"]


def test_indicator_fields_and_defaults_are_the_engines():
    for rec in INDICATORS:
        assert tc.BATCH([rec.name], [[]], *EMPTY)[2] == list(rec.fields)
        defaults = [p.default for p in rec.params][:1 if rec.expanding else None]
        assert tc.BATCH([rec.name], [defaults], *EMPTY)[2] == list(rec.fields)
    assert sorted(r.name for r in INDICATORS) == tarvex._catalog.batch_names()


def bars(n, seed):
    rnd = random.Random(seed)
    close = [10 + rnd.random() * 5 for _ in range(n)]
    return dict(close=close, high=[c + rnd.random() for c in close], low=[c - rnd.random() for c in close],
                open=[c + rnd.random() - 0.5 for c in close], vol=[1000 + rnd.random() * 1000 for _ in range(n)])


def same(a, b):
    return all((math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b)) and len(a) == len(b)


@pytest.mark.parametrize("seed", range(3))
def test_batch_values_and_crossings_are_the_functions(seed):
    # Each batch indicator on one security is its series function with the
    # batch defaults (a scaled parameter divided back), its crossing signal
    # CROSS(fast, slow) over the pair the registry names.
    rnd = random.Random(seed)
    b = bars(60, seed)
    table = [b["open"], b["high"], b["low"], b["close"], b["vol"]]
    rows = ([7] * 60, list(range(60)))
    for rec in INDICATORS:
        params = [max(p.minimum, p.default + rnd.choice([0, 0, 1, 3])) for p in rec.params]
        if rec.expanding:  # two or more values would mean one task each
            params = params[:1] + [p.default for p in rec.params[1:]]
        given = params[:1] if rec.expanding else params
        codes, dates, fields, columns = tc.BATCH([rec.name], [given], *rows, *table)
        fn = tarvex._catalog.function(rec.function)
        numeric = iter(params)
        args = []
        for p in fn.params:
            if p.kind == "series":
                args.append(b["close"] if p.name == "s" else b[p.name])
            else:
                v = next(numeric)
                args.append(v / 100 if rec.name == "dma" else float(v) if p.kind == "number" else v)
        expected = getattr(tc, rec.function)(*args)
        expected = expected if isinstance(expected, tuple) else (expected,)
        assert all(same(c, e) for c, e in zip(columns, expected)), rec.name
        if rec.cross:
            cols = tc.BATCH_CROSS([rec.name], [given], *rows, *table, False)[3]
            fast, slow = (expected[fields.index(f)] for f in rec.cross)
            assert same(cols[0], tc.CROSS(fast, slow)), rec.name


def leading_nans(values):
    k = 0
    while k < len(values) and math.isnan(values[k]):
        k += 1
    return k


@pytest.mark.parametrize("bump", [0, 2])
def test_warmup_matches_leading_gaps(bump):
    b = bars(200, 5)
    for rec in tarvex.catalog("function"):
        if rec.family in ("elementwise", "conditions", "lookahead") or rec.name == "RET":
            continue
        values, args = {}, []
        for p in rec.params:
            if p.kind == "series":
                args.append(b["close"] if p.name == "s" else b[p.name])
            elif p.kind == "series or number":
                args.append(0.2)
            else:
                v = (p.default if p.default is not None else 5) + bump
                v = float(v) if p.kind == "number" else int(v)
                values[p.name] = v
                args.append(v)
        result = getattr(tc if rec.core else tarvex, rec.name)(*args)
        result = result if isinstance(result, tuple) else (result,)
        expected = [eval(w, {"max": max}, values) for w in rec.warmup]
        assert [leading_nans(r) for r in result] == expected, rec.name


def test_generated_files_are_fresh():
    import importlib.util
    from pathlib import Path

    path = Path(__file__).resolve().parent.parent / "tools" / "gen_reference.py"
    found = importlib.util.spec_from_file_location("gen_reference", path)
    gen = importlib.util.module_from_spec(found)
    found.loader.exec_module(gen)
    for target, text in gen.generate().items():
        assert target.read_text(encoding="utf-8") == text, f"{target.name} is stale: run tools/gen_reference.py"


def test_package_exports_every_function_in_name_order():
    # The package writes its __all__ out for type checkers.
    names = [e["name"] for e in ENTRIES]
    assert tarvex.__all__[:len(names)] == sorted(names)
    assert len(set(tarvex.__all__)) == len(tarvex.__all__)
    assert all(hasattr(tarvex, n) for n in tarvex.__all__)


def test_wrappers_carry_the_catalog():
    for rec in tarvex.catalog("function"):
        f = getattr(tarvex, rec.name)
        assert f.__doc__.startswith(rec.description) and rec.description_zh in f.__doc__
        assert all(p.annotation != inspect.Parameter.empty for p in inspect.signature(f).parameters.values())
    with pytest.raises(ValueError):
        tarvex.catalog("nope")


def test_registry_flags_hold_on_random_series():
    # The formula language hands condition parameters 1.0 / 0.0 and skips
    # the truth test of a boolean word's result: given such conditions and
    # other series with NaN bars, a boolean word gives only 1.0 and 0.0.
    rng = np.random.default_rng(7)
    for rec in tarvex.catalog("function"):
        args = []
        for p in rec.params:
            if p.condition:
                args.append((rng.random(80) < 0.4).astype(float))
            elif p.kind.startswith("series"):
                x = rng.normal(size=80).round(1)
                x[rng.random(80) < 0.1] = np.nan
                args.append(x)
            else:
                args.append(max(p.minimum, 3) if p.kind == "integer" else 0.5)
        if rec.boolean:
            out = getattr(tarvex, rec.name)(*args)
            assert set(np.unique(out)) <= {0.0, 1.0}, rec.name
        for p in rec.params:
            assert not p.condition or p.kind == "series", rec.name
    assert all(set(r.inputs) <= {"open", "high", "low", "close", "volume"} for r in tarvex.catalog())

"""Formulas of the kinds traders share (tests/data/formulas.txt) run on one
security and on a whole market: screens screen, overlays and panels give
their lines and drawings."""
import pathlib
import re

import numpy as np
import pytest

from tarvex.formula import FormulaError, formula, screen

CORPUS = pathlib.Path(__file__).parent / "data" / "formulas.txt"


def corpus():
    out = []
    for block in re.split(r"^=== ", CORPUS.read_text(encoding="utf-8"), flags=re.M)[1:]:
        head, _, text = block.partition("\n")
        name, kind, params = (part.strip() for part in head.split("|"))
        out.append((name, kind, {k: float(v) for k, v in (p.split("=") for p in params.split())}, text))
    return out


def market(codes=12, n=300, seed=4):
    """Daily bars on weekdays from 2023 of random walks, one code shorter
    than the longest windows."""
    rng = np.random.default_rng(seed)
    days = np.datetime64("2023-01-02") + np.arange(2 * n)
    days = days[(days.view("int64") + 3) % 7 < 5]
    parts = []
    for k in range(codes):
        m = n if k else 40
        c = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, m)))
        o = c * (1 + rng.normal(0, 0.01, m))
        parts.append(dict(code=np.full(m, f"{600000 + k:06d}"), date=days[:m], open=o, high=np.fmax(o, c) * 1.01,
                          low=np.fmin(o, c) * 0.99, close=c, vol=rng.integers(1000, 9000, m) * 100.0))
    return {key: np.concatenate([p[key] for p in parts]) for key in parts[0]}


def test_the_realistic_formulas_run():
    bars = market()
    one = {k: v[bars["code"] == "600001"] for k, v in bars.items() if k != "code"}
    formulas, failed = corpus(), []
    assert len(formulas) >= 40 and {kind for _, kind, _, _ in formulas} == {"screen", "overlay", "panel"}
    for name, kind, params, text in formulas:
        try:
            lines = formula(text, one, **params)
            assert len(lines.lines[0].values) == len(one["close"])
            if kind == "screen":
                assert set(screen(text, bars, **params)) <= set(bars["code"])
            else:
                assert len(formula(text, bars, **params).lines[-1].values) == len(bars["code"])
        except FormulaError as e:
            failed.append(f"{name}: {e.message}")
    assert not failed

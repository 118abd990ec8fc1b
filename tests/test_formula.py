"""The formula language: classic indicators written as formula text give the
library's own results bit for bit; the language's truth and NaN rules; the
whole-market engine, screening, results, errors and the command line."""
import math
import subprocess
import sys

import numpy as np
import pytest

import tarvex_core as tc
from tarvex.formula import FormulaError, compile, formula, screen
from tarvex.formula import native

NAN = math.nan

# Each indicator from its definition; guarded divisions (NaN where the
# divisor is 0) are written with IF and DRAWNULL, roundings with RD.
CLASSIC = {
    "MACD": ("E1:=EMA(CLOSE,SHORT); E2:=EMA(CLOSE,LONG); D:=E1-E2; E:=EMA(D,M);"
             "DIF:RD(D,3); DEA:RD(E,3); MACD:RD((D-E)*2,3),COLORSTICK;",
             dict(SHORT=12, LONG=26, M=9), lambda c, h, l, o, v: tc.MACD(c)),
    "KDJ": ("LL:=LLV(L,N); HH:=HHV(H,N); RSV:=IF(HH-LL=0,DRAWNULL,(C-LL)/(HH-LL))*100;"
            "K:SMA(RSV,M1,1); D:SMA(K,M2,1); J:3*K-2*D;",
            dict(N=9, M1=3, M2=3), lambda c, h, l, o, v: tc.KDJ(c, h, l)),
    "RSI": ("LC:=REF(C,1); SU:=SMA(MAX(C-LC,0),N,1); SA:=SMA(ABS(C-LC),N,1);"
            "RSI:RD(IF(SA=0,DRAWNULL,SU/SA)*100,3);",
            dict(N=24), lambda c, h, l, o, v: (tc.RSI(c),)),
    "BOLL": ("M:=MA(C,N); W:=STDP(C,N)*P; UPPER:RD(M+W,3); MID:RD(M,3); LOWER:RD(M-W,3);",
             dict(N=20, P=2), lambda c, h, l, o, v: tc.BOLL(c)),
    "DMI": ("PC:=REF(C,1); TR:=SUM(MAX(MAX(H-L,ABS(PC-H)),ABS(PC-L)),M1);"
            "HD:=H-REF(H,1); LD:=REF(L,1)-L;"
            "DMP:=SUM(IF(HD>0 AND HD>LD,HD,0),M1); DMM:=SUM(IF(LD>0 AND LD>HD,LD,0),M1);"
            "PDI:IF(TR=0,DRAWNULL,DMP*100/TR); MDI:IF(TR=0,DRAWNULL,DMM*100/TR);"
            "DX:=IF(PDI+MDI=0,DRAWNULL,ABS(MDI-PDI)/(PDI+MDI))*100;"
            "ADX:MA(DX,M2); ADXR:(ADX+REF(ADX,M2))*0.5;",
            dict(M1=14, M2=6), lambda c, h, l, o, v: tc.DMI(c, h, l)),
    "CCI": ("TP:=(H+L+C)/3; DEV:=AVEDEV(TP,N)*0.015; IF(DEV=0,DRAWNULL,(TP-MA(TP,N))/DEV);",
            dict(N=14), lambda c, h, l, o, v: (tc.CCI(c, h, l),)),
    "ATR": ("MA(MAX(MAX(H-L,ABS(REF(C,1)-H)),ABS(REF(C,1)-L)),N)",
            dict(N=20), lambda c, h, l, o, v: (tc.ATR(c, h, l),)),
    "WR": ("HH:=HHV(H,N); LL:=LLV(L,N); WR:RD(IF(HH-LL=0,DRAWNULL,(HH-C)/(HH-LL))*100,3);"
           "HH1:=HHV(H,N1); LL1:=LLV(L,N1); WR1:RD(IF(HH1-LL1=0,DRAWNULL,(HH1-C)/(HH1-LL1))*100,3)",
           dict(N=10, N1=6), lambda c, h, l, o, v: tc.WR(c, h, l)),
    "BIAS": ("RD(IF(MA(C,L1)=0,DRAWNULL,(C-MA(C,L1))/MA(C,L1))*100,3);"
             "RD(IF(MA(C,L2)=0,DRAWNULL,(C-MA(C,L2))/MA(C,L2))*100,3);"
             "RD(IF(MA(C,L3)=0,DRAWNULL,(C-MA(C,L3))/MA(C,L3))*100,3)",
             dict(L1=6, L2=12, L3=24), lambda c, h, l, o, v: tc.BIAS(c)),
    "PSY": ("P:=SUM(C>REF(C,1),N)/N*100; PSY:RD(P,3); PSYMA:RD(MA(P,M),3)",
            dict(N=12, M=6), lambda c, h, l, o, v: tc.PSY(c)),
    "TRIX": ("TR:=EMA(EMA(EMA(C,M1),M1),M1); TRIX:IF(REF(TR,1)=0,DRAWNULL,(TR-REF(TR,1))/REF(TR,1))*100;"
             "TRMA:MA(TRIX,M2)", dict(M1=12, M2=20), lambda c, h, l, o, v: tc.TRIX(c)),
    "ROC": ("ROC:IF(REF(C,N)=0,DRAWNULL,(C-REF(C,N))/REF(C,N))*100; MAROC:MA(ROC,M)",
            dict(N=12, M=6), lambda c, h, l, o, v: tc.ROC(c)),
    "BBI": ("(MA(C,M1)+MA(C,M2)+(MA(C,M3)+MA(C,M4)))/4", dict(M1=3, M2=6, M3=12, M4=20),
            lambda c, h, l, o, v: (tc.BBI(c),)),
    "OBV": ("SUM(IF(C>REF(C,1),V,IF(C<REF(C,1),-V,0)),0)/10000", {},
            lambda c, h, l, o, v: (tc.OBV(c, v),)),
    "VR": ("LC:=REF(C,1); UP:=SUM(IF(LC<C,V,0),M1); DN:=SUM(IF(C<=LC,V,0),M1); IF(DN=0,DRAWNULL,UP/DN)*100",
           dict(M1=26), lambda c, h, l, o, v: (tc.VR(c, v),)),
}


def market(codes=6, seed=0, flat=False):
    """A shuffled market: random walks of random lengths (1 to 120 bars),
    some NaN closes and, with `flat`, runs of equal prices (zero divisors)."""
    rng = np.random.default_rng(seed)
    parts = []
    for k in range(codes):
        n = int(rng.integers(1, 120))
        close = 20 + np.cumsum(rng.normal(0, 0.5, n)).round(2)
        if flat:
            close[rng.random(n) < 0.5] = 20.0
        close[rng.random(n) < 0.03] = NAN
        spread = 0.0 if flat else rng.random(n)
        parts.append(dict(code=np.full(n, f"{600000 + 7 * k:06d}"), date=20200101 + np.arange(n),
                          close=close, high=close + spread, low=close - spread,
                          open=close + rng.normal(0, 0.1, n), volume=rng.integers(0, 5, n) * 100.0))
    bars = {key: np.concatenate([p[key] for p in parts]) for key in parts[0]}
    order = rng.permutation(len(bars["code"]))
    return {key: col[order] for key, col in bars.items()}


def same(actual, expected):
    """Equal bit for bit; every NaN equals every NaN."""
    a, e = np.asarray(actual, dtype=float), np.asarray(expected, dtype=float)
    assert a.shape == e.shape
    both = np.isnan(a) & np.isnan(e)
    differ = np.flatnonzero(np.where(both, 0.0, a).view(np.int64) != np.where(both, 0.0, e).view(np.int64))
    assert differ.size == 0, f"bar {differ[0]}: {a[differ[0]]!r} != {e[differ[0]]!r}"


@pytest.mark.parametrize("flat", [False, True])
@pytest.mark.parametrize("name", sorted(CLASSIC))
def test_classic_indicators_match_the_library_over_a_market(name, flat):
    text, params, library = CLASSIC[name]
    bars = market(seed=len(name), flat=flat)
    result = formula(text, bars, **params)
    for code in np.unique(bars["code"]):
        rows = result.codes == code
        own = bars["code"] == code
        order = np.argsort(bars["date"][own], kind="stable")
        c, h, l, o, v = (bars[k][own][order].tolist() for k in ("close", "high", "low", "open", "volume"))
        expected = library(c, h, l, o, v)
        assert len(result) == len(expected)
        for line, want in zip(result, expected):
            same(line.values[rows], want)
        assert result.dates[rows].tolist() == sorted(bars["date"][own].tolist())


def test_indicator_fields_read_the_library_with_defaults_or_arguments():
    shuffled = market(codes=1, seed=3)
    order = np.argsort(shuffled.pop("date"))
    bars = {k: v[order] for k, v in shuffled.items() if k != "code"}  # one security, oldest bar first
    c, h, l = (bars[k].tolist() for k in ("close", "high", "low"))
    res = formula('KDJ.K; "KDJ.D"; KDJ.J(5,2,2); BOLL.UPPER(C*2,10,1.5); DFMA.DIF; RSI; RSI(6); MACD.MACD', bars)
    k, d, _ = tc.KDJ(c, h, l)
    for got, want in zip(res, [k, d, tc.KDJ(c, h, l, 5, 2, 2)[2], tc.BOLL([x * 2 for x in c], 10, 1.5)[0],
                              tc.DFMA(c)[0], tc.RSI(c), tc.RSI(c, 6), tc.MACD(c)[2]]):
        same(got.values, want)


def test_shared_subexpressions_are_computed_once(monkeypatch):
    calls = []
    real = native.call
    monkeypatch.setattr(native, "call", lambda name, *rest: calls.append(name) or real(name, *rest))
    # EMA(C,N) stays apart from EMA(C,12): N may take another value per run.
    plan = compile("A:=EMA(C,12); B:EMA(CLOSE,12)-EMA(C,N); KDJ.K+KDJ.D(9,3,3)+KDJ.J+KDJ.K", N=12)
    plan.run(market(codes=2))
    assert sorted(calls) == ["EMA", "EMA", "KDJ"]


def test_truth_and_nan_rules():
    # NaN is false for conditions, comparisons with NaN are 0, logic gives 1/0.
    x = [1.0, NAN, 0.0, -2.0, NAN, 3.0]
    res = formula("X:=CLOSE; IF(X,1,2); NOT X; X AND 1; X OR 0; X=X; X<>1; X!=1; COUNT(X,2); BARSLAST(X);"
                  "FILTER(X,1); VALUEWHEN(X,C*10); EVERY(X,0); EXIST(X,2); -X", {"close": x})
    want = [[1, 2, 2, 1, 2, 1], [0, 1, 1, 0, 1, 0], [1, 0, 0, 1, 0, 1], [1, 0, 0, 1, 0, 1],
            [1, 0, 1, 1, 0, 1], [0, 0, 1, 1, 0, 1], [0, 0, 1, 1, 0, 1], [NAN, 1, 0, 1, 1, 1],
            [0, 1, 2, 0, 1, 0], [1, 0, 0, 1, 0, 1], [10, 10, 10, -20, -20, 30],
            [1, 0, 0, 0, 0, 0], [0, 1, 0, 1, 1, 1], [-1, NAN, -0.0, 2, NAN, -3]]
    for line, expected in zip(res, want):
        same(line.values, expected)


def test_language_words_where_the_library_differs():
    c = [1.0, 3.0, 1.0, 1.0, 4.0, 5.0, 0.5, 6.0]
    res = formula("CROSS(C,2); LONGCROSS(C,2,2); HHV(C,0); LLV(C,0); STD(C,3); STDP(C,3); RET(C,2);"
                  "MAX(1,2); 3>2", {"close": c})
    same(res.lines[0].values, [0, 1, 0, 0, 1, 0, 0, 1])  # up only; the library also marks -1
    same(res.lines[1].values, [0, 0, 0, 0, 1, 0, 0, 0])  # two bars below first
    same(res.lines[2].values, np.maximum.accumulate(c))
    same(res.lines[3].values, np.minimum.accumulate(c))
    same(res.lines[4].values, np.array(tc.STD(c, 3)) * math.sqrt(1.5))
    same(res.lines[5].values, tc.STD(c, 3))
    same(res.lines[6].values, [0.5] * 8)
    same(res.lines[7].values, [2.0] * 8)
    same(res.lines[8].values, [1.0] * 8)


def test_market_frames_results_and_screen():
    pd = pytest.importorskip("pandas")
    bars = market(codes=4, seed=5)
    frame = pd.DataFrame({k.upper(): v for k, v in bars.items()})
    text = "M5:MA(C,5); UP:C>M5,NODRAW;"
    expected = formula(text, bars)
    for data in (frame, {k.title(): v for k, v in bars.items()}):
        res = formula(text, data)
        assert res.names == ["M5", "UP"] and res.lines[1].attrs == ("NODRAW",)
        same(res["m5"], expected["M5"])
        assert res.codes.tolist() == expected.codes.tolist()
    out = expected.to_frame()
    assert list(out.columns) == ["code", "date", "M5", "UP"]
    assert (out.groupby("code")["date"].apply(lambda d: d.is_monotonic_increasing)).all()
    last = out.groupby("code").tail(1)
    assert screen(text, frame) == last.loc[last.UP == 1, "code"].tolist()
    day = int(np.median(bars["date"]))
    on_day = out[out.date == day]
    assert screen(text, bars, date=day) == on_day.loc[on_day.UP == 1, "code"].tolist()
    polars = pytest.importorskip("polars")
    same(formula(text, polars.DataFrame(bars))["UP"], expected["UP"])


@pytest.mark.parametrize("text, message", [
    ("MA(CLOS,5)", "unknown name CLOS (did you mean CLOSE"),
    ("MA(C)", "MA takes (s, n), got 1"),
    ("KDJ.K(1,2,3,4)", "KDJ.K takes (n=9, m1=3, m2=3) or (close, high, low, n=9, m1=3, m2=3)"),
    ("X:=1; X:=2; X", "X is assigned twice"),
    ("Y+1; Y:=2", "Y is used before it is assigned"),
    ("MACD", "read one as MACD.DIF, MACD.DEA, MACD.MACD"),
    ("MA(C,C)", "n of MA must be a number, not a series"),
    ("MA(C,2.5)", "n of MA must be a whole number"),
    ("C:=1; C", "C names a bar column"),
    ("C+*2", "expected an expression, found '*'"),
    ("C C", "expected an operator or ';'"),
    ("1+(2", "'(' is never closed"),
    ("RD(C/3,1e10)", "numbers have no exponent"),
    ("C, NODRAWW", "unknown drawing word NODRAWW (did you mean NODRAW"),
    ("X:=C;", "no output line"),
    ("AMOUNT", "the bars have no amount column"),
])
def test_errors_point_at_the_place(text, message):
    with pytest.raises(FormulaError) as info:
        formula("\n  " + text, {"close": [1.0, 2.0], "high": [1.0, 2.0], "low": [1.0, 2.0]})
    err = info.value
    assert message in str(err) and isinstance(err, ValueError)
    assert err.line == 2 and err.column >= 3
    assert str(err).splitlines()[-1].index("^") == 4 + err.column - 1


def test_command_line(tmp_path):
    pd = pytest.importorskip("pandas")
    bars = market(codes=5, seed=9)
    frame = pd.DataFrame(bars)
    frame.to_csv(tmp_path / "m.csv", index=False)
    (tmp_path / "f.txt").write_text("M:=MA(C,N);\nC>M;", encoding="utf-8")
    expected = screen("M:=MA(C,N); C>M", bars, N=3)
    run = [sys.executable, "-m", "tarvex"]
    out = subprocess.run([*run, "screen", "f.txt", "m.csv", "-p", "N=3"], cwd=tmp_path, capture_output=True,
                         text=True, check=True).stdout
    assert out.split() == expected
    subprocess.run([*run, "run", "f.txt", "m.csv", "-p", "N=3", "-o", "out.csv"], cwd=tmp_path, check=True)
    written = pd.read_csv(tmp_path / "out.csv", dtype={"code": str})
    same(written["C>M"], formula("M:=MA(C,N); C>M", bars, N=3).lines[0].values)
    failed = subprocess.run([*run, "run", "f.txt", "m.csv"], cwd=tmp_path, capture_output=True, text=True)
    assert failed.returncode == 1 and "unknown name N" in failed.stderr


def test_an_empty_market_gives_empty_lines_and_no_codes():
    empty = {"code": np.zeros(0, dtype=np.int64), "date": np.zeros(0, dtype=np.int64), "close": np.zeros(0)}
    assert list(screen("CROSS(MA(C,5),MA(C,10))", empty)) == []
    assert [len(line.values) for line in formula("A:MA(C,5); C>A;", empty).lines] == [0, 0]


def test_every_word_over_no_bars_gives_empty_lines():
    from tarvex.formula.vocabulary import vocabulary

    empty = {"close": np.zeros(0), "date": np.zeros(0, dtype="datetime64[D]")}
    for bars in (empty, {"code": np.zeros(0, dtype=np.int64), **empty}):
        for name, word in vocabulary().items():
            call = name if len(word.outputs) == 1 else f"{name}.{word.outputs[0]}"
            args = [{"c": "C>0", "s": "C", "v": "C", "k": "C", "t": "'x'"}.get(kind, "1") for _, kind, _ in word.params]
            result = formula(f"{call}({','.join(args)})", bars)
            assert [len(line.values) for line in result] == [0], name
        assert len(formula("C+1; 2", bars).to_frame()) == 0

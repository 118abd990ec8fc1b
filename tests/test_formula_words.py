"""The formula words of the language alone: numbers, time and position
checked against literal twins on random markets; drawings kept as output
lines; texts and colours; screens reading the condition line; lines that
depend on functions reading later bars."""
import datetime
import math

import numpy as np
import pytest

from tarvex.formula import FormulaError, compile, formula, screen
from tarvex.formula.vocabulary import Word, vocabulary

NAN = math.nan


def _guard(f):
    def twin(*xs):
        try:
            return float(f(*xs))
        except (ValueError, OverflowError, ZeroDivisionError):
            return NAN
    return twin


# Each number word beside a literal twin over Python floats.
NUMBER_TWINS = {
    "INTPART": lambda x: float(math.trunc(x)) if math.isfinite(x) else x,
    "FRACPART": lambda x: x - math.trunc(x) if math.isfinite(x) else NAN,
    "SIGN": lambda x: NAN if x != x else (1.0 if x > 0 else -1.0 if x < 0 else 0.0),
    "FLOOR": lambda x: float(math.floor(x)) if math.isfinite(x) else x,
    "CEILING": lambda x: float(math.ceil(x)) if math.isfinite(x) else x,
    "REVERSE": lambda x: 0.0 - x,
    "EXP": lambda x: math.inf if x > 709.8 else math.exp(x),
    "LOG": lambda x: math.log10(x) if x > 0 else NAN,
    "ATAN": math.atan,
    "ASIN": _guard(math.asin),
    "ACOS": _guard(math.acos),
}


def numbers(rng, n):
    x = rng.normal(0, 3, n) * rng.choice([1.0, 0.01, 100.0], n)
    x[rng.random(n) < 0.1] = NAN
    edges = rng.random(n) < 0.1  # each edge value somewhere (LOG(0) once raised instead of giving NaN)
    x[edges] = rng.choice([0.0, -0.0, math.inf, -math.inf, 1.0, -1.0, 800.0, 0.5, -2.5], int(edges.sum()))
    return x


@pytest.mark.parametrize("seed", range(3))
def test_number_words_match_their_twins_bit_for_bit(seed):
    rng = np.random.default_rng(seed)
    x, y = numbers(rng, 400), numbers(rng, 400)
    bars = {"close": x, "open": y}
    result = formula(";".join(f"{name}(C)" for name in NUMBER_TWINS) + "; MOD(C,O)", bars)
    for name, line in zip([*NUMBER_TWINS, "MOD"], result):
        twin = NUMBER_TWINS.get(name) or _guard(math.fmod)
        expected = np.array([twin(a) if name != "MOD" else twin(a, b) for a, b in zip(x, y)])
        assert np.array_equal(line.values, expected, equal_nan=True), name
        both = (line.values == line.values) & (line.values != 0.0)  # the bits too, but for NaN and the sign of 0
        assert line.values[both].view(np.int64).tolist() == expected[both].view(np.int64).tolist(), name
    # MOD takes the dividend's sign, and a zero divisor gives NaN.
    got = [line.values[0] for line in formula("MOD(-7,3); MOD(7,-3); MOD(7.5,2); MOD(1,0)", {"close": [1.0]})]
    assert got[:3] == [-1.0, 1.0, 1.5] and math.isnan(got[3])


def market(rng, codes=5):
    """A shuffled market of codes with random numbers of bars and calendar
    dates, some with a time of day."""
    rows = []
    for k in range(codes):
        start = datetime.datetime(1995, 1, 1) + datetime.timedelta(days=int(rng.integers(0, 12000)))
        intraday = k % 2 == 1
        step = datetime.timedelta(minutes=5) if intraday else datetime.timedelta(days=1)
        for i in range(int(rng.integers(1, 40))):
            rows.append((f"{k:06d}", start + step * i, float(rng.normal(10, 1))))
    rng.shuffle(rows)
    return rows


def test_time_and_position_words_on_a_shuffled_market():
    rng = np.random.default_rng(7)
    rows = market(rng)
    codes = np.array([r[0] for r in rows])
    stamps = np.array([np.datetime64(r[1], "s") for r in rows])
    text = "DATE; TIME; YEAR; MONTH; DAY; WEEKDAY; HOUR; MINUTE; BARPOS; CURRBARSCOUNT; TOTALBARSCOUNT; " \
           "ISLASTBAR; BARSTATUS"
    result = formula(text, {"code": codes, "date": stamps, "close": [r[2] for r in rows]})
    got = np.column_stack([line.values for line in result])
    # The same dates written as digits give the same lines.
    digits = np.array([int(r[1].strftime("%Y%m%d%H%M")) if r[1].minute or r[1].hour else int(r[1].strftime("%Y%m%d"))
                       for r in rows])
    again = formula(text, {"code": codes, "date": digits, "close": [r[2] for r in rows]})
    assert np.array_equal(np.column_stack([line.values for line in again]), got)
    expected = []
    for code in sorted(set(codes)):
        days = sorted(r[1] for r in rows if r[0] == code)
        for i, d in enumerate(days):
            total, last = len(days), i == len(days) - 1
            expected.append([(d.year - 1900) * 10000 + d.month * 100 + d.day, d.hour * 10000 + d.minute * 100,
                             d.year, d.month, d.day, d.isoweekday() % 7, d.hour, d.minute, i + 1, total - i, total,
                             float(last), 2.0 if last else 1.0 if i == 0 else 0.0])
    assert got.tolist() == expected


def test_dates_in_every_form_and_the_invalid_ones():
    forms = [np.array(["2024-01-05", "2023-12-31"]), np.array([20240105, 20231231]), np.array([1240105, 1231231]),
             np.array(["20240105", "20231231"], dtype=object), np.array([datetime.date(2024, 1, 5),
                                                                         datetime.date(2023, 12, 31)], dtype=object),
             # read on the clocks of their zone, not in UTC (the day before)
             np.array([datetime.datetime(y, m, d, 3, tzinfo=datetime.timezone(datetime.timedelta(hours=8)))
                       for y, m, d in ((2024, 1, 5), (2023, 12, 31))], dtype=object)]
    for dates in forms:
        result = formula("DATE; WEEKDAY", {"date": dates, "close": [1.0, 2.0]})
        assert result.lines[0].values.tolist() == [1240105.0, 1231231.0], dates
        assert result.lines[1].values.tolist() == [5.0, 0.0]  # a Friday and a Sunday
    bad = formula("DATE; MONTH", {"date": np.array([20240231, 0, 20241301]), "close": [1.0] * 3})
    assert np.isnan(np.column_stack([line.values for line in bad])).all()
    with pytest.raises(FormulaError, match="YEAR: it reads the date column"):
        formula("YEAR", {"close": [1.0]})


SCREEN = """
MA5:MA(C,5),COLORWHITE,LINETHICK2;
STICKLINE(C>O,C,O,6,1),COLORRED;
DRAWTEXT(CROSS(C,MA5),L*0.98,'Buy'),RGB(255,255,0);
XG:C>MA5;
DRAWICON(XG,H,1);
"""


def test_drawings_are_output_lines_and_a_screen_reads_the_condition():
    rng = np.random.default_rng(1)
    c = 10 + rng.normal(0, 1, 60).cumsum() * 0.2
    o = c + rng.normal(0, 0.1, 60)
    bars = {"code": np.repeat(["A", "B"], 30), "close": c, "open": o, "high": c + 1, "low": c - 1}
    result = formula(SCREEN, bars)
    assert [line.kind for line in result] == ["line", "STICKLINE", "DRAWTEXT", "line", "DRAWICON"]
    stick, text = result.drawings[:2]
    assert stick.attrs == ("COLORRED",) and list(stick.args) == ["cond", "price1", "price2", "width", "empty"]
    assert stick.args["cond"].tolist() == (c > o).astype(float).tolist() and stick.args["width"] == 6.0
    assert np.array_equal(stick.values, np.where(c > o, c, NAN), equal_nan=True)
    assert text.args["text"] == "Buy" and np.array_equal(text.args["price"], (c - 1) * 0.98)
    assert result.lookahead == () and not any(line.lookahead for line in result)
    assert screen(SCREEN, bars) == [code for code, k in (("A", 29), ("B", 59)) if result["XG"][k]]
    # Only the condition is computed: a drawing reading a column the market lacks is no matter.
    assert screen("DRAWTEXT(AMOUNT>0,C,'x'); MA(C,3)>0", bars) == ["A", "B"]
    with pytest.raises(FormulaError, match="only draws: it has no condition line"):
        screen("STICKLINE(C>O,C,O,6,0); DRAWTEXT(C>O,C,'up')", bars)


@pytest.mark.parametrize("text, message", [
    ("C+'a'", "a quoted text takes no part in arithmetic"),
    ("DRAWTEXT(C>O,C,5)", "text of DRAWTEXT must be a text in single quotes"),
    ("MA('a',5)", "s of MA must be a number or a series, not a text"),
    ("DRAWTEXT(C>O,C,'open", "string \"'\" is never closed"),
    ("X:=STICKLINE(C>O,C,O,1,0); X", "STICKLINE draws and gives no value"),
    ("C+POLYLINE(C>O,C)", "POLYLINE draws and gives no value"),
    ("P:POLYLINE(C>O,C); P+1", "P is a drawing and gives no value"),
    ("'buy'", "a quoted text is no output line"),
    ("MA(C,5),COLORREDD", "unknown colour COLORREDD (did you mean COLORRED"),
    ("MA(C,5),DOTLIN", "unknown drawing word DOTLIN (did you mean DOTLINE"),
    ("DRAWBAND(C,COLORGREN,O,COLORRED)", "unknown name COLORGREN (did you mean COLORGREEN"),
    ("STIKLINE(C>O,C,O,1,0)", "unknown name STIKLINE (did you mean STICKLINE"),
])
def test_texts_drawings_and_colours_are_checked(text, message):
    with pytest.raises(FormulaError, match=message.replace("(", r"\(")):
        formula(text, {"close": [1.0, 2.0], "open": [1.0, 1.5]})


def test_colour_values():
    colours = "COLORRED; RGB(255,0,0); COLOR0000FF; RGB(1,2,3); COLOR030201; COLORWHITE"
    got = [line.values[0] for line in formula(colours, {"close": [1.0]})]
    assert got == [255.0, 255.0, 255.0, 197121.0, 197121.0, 16777215.0]
    # A text may sit in a variable; style words stay on the line.
    result = formula("T:='up'; DRAWTEXT(1,C,T),COLOR00FFFF,LINETHICK3", {"close": [1.0]})
    assert result.drawings[0].args["text"] == "up" and result.drawings[0].attrs == ("COLOR00FFFF", "LINETHICK3")


def test_lines_reading_later_bars_are_marked_and_kept_out_of_screens(monkeypatch, tmp_path, capsys):
    # A stand-in for a word reading later bars: the next bar's value.
    def ahead(ctx, args):
        x = args[0]
        out = np.append(x[1:], NAN)
        out[ctx.ends() - 1] = NAN
        return out
    word = Word("NEXTBAR", (("x", "s", None),), ("nextbar",), None, False, ahead, lookahead=True)
    monkeypatch.setitem(vocabulary(), "NEXTBAR", word)
    bars = {"code": ["A", "A", "B", "B"], "close": [1.0, 2.0, 3.0, 2.0], "open": [1.0] * 4}
    text = "N:=NEXTBAR(C); UP:N>C; DRAWTEXT(N<C,C,'top'); C>O;"
    result = formula(text, bars)
    assert [line.lookahead for line in result] == [("NEXTBAR",), ("NEXTBAR",), ()]
    assert result.lookahead == ("NEXTBAR",)
    assert screen(text, bars) == ["A", "B"]  # the condition reads no later bar
    refused = text[:-len("C>O;")]
    with pytest.raises(FormulaError) as e:
        screen(refused, bars)
    assert e.value.message.startswith("NEXTBAR looks into the future: its value on a bar changes as later bars arrive")
    assert e.value.column == refused.index("NEXTBAR") + 1
    assert screen(refused, {**bars, "date": [1, 2, 1, 2]}, date=1, lookahead=True) == ["A"]
    # and from the command line
    from tarvex.__main__ import main

    (tmp_path / "f.txt").write_text(refused, encoding="utf-8")
    (tmp_path / "m.csv").write_text("code,date,close,open\nA,1,1,1\nA,2,2,1\nB,1,3,1\nB,2,2,1\n")
    command = ["screen", str(tmp_path / "f.txt"), str(tmp_path / "m.csv"), "--date", "1"]
    assert main(command) == 1 and "NEXTBAR looks into the future" in capsys.readouterr().err
    assert main([*command, "--lookahead"]) == 0 and capsys.readouterr().out.split() == ["A"]


def test_the_future_functions_of_the_library_are_marked_and_read_prices_by_number():
    from tarvex import catalog

    future = {r.name for r in catalog("function") if r.lookahead}
    assert future and {name for name, word in vocabulary().items() if word.lookahead} == future
    with pytest.raises(FormulaError, match="ZIG looks into the future"):
        compile("ZIG(3,10)>REF(ZIG(3,10),1)").condition()
    # The zigzag family's price: 0 to 3 name OPEN, HIGH, LOW, CLOSE.
    rng = np.random.default_rng(5)
    bars = {name: 10 * np.exp(np.cumsum(rng.normal(0, 0.02, 120))) for name in ("open", "high", "low", "close")}
    for k, price in enumerate("OHLC"):
        by_number = formula(f"ZIG({k},4); PEAKBARS({k},4,1); TROUGH({k},4,2)", bars)
        by_column = formula(f"ZIG({price},4); PEAKBARS({price},4,1); TROUGH({price},4,2)", bars)
        for a, b in zip(by_number, by_column):
            assert np.array_equal(a.values, b.values, equal_nan=True)
    with pytest.raises(FormulaError, match="the price of ZIG must be a series, or 0, 1, 2 or 3"):
        formula("ZIG(4,5)", bars)


def test_every_word_and_colour_of_the_language_is_documented():
    from pathlib import Path

    from tarvex.formula.styles import COLORS

    doc = (Path(__file__).parent.parent / "docs" / "formula.md").read_text(encoding="utf-8")
    from tarvex.formula.native import catalog

    own = [name for name in vocabulary() if name not in catalog()]  # the language's words beyond the library's
    assert [name for name in [*own, *COLORS] if f"`{name}" not in doc] == []


def test_every_drawing_keeps_its_arguments_and_draws_its_price_where_its_condition_holds():
    rng = np.random.default_rng(3)
    bars = {name: rng.normal(10, 1, 50) for name in ("open", "high", "low", "close")}
    bars["close"][::7] = NAN
    for word in (w for w in vocabulary().values() if w.draws is not None):
        samples = {"c": iter(["C>O", "H>C+0.5", "L<9"]), "s": iter(["C", "H*2", "L-1", "O+C", "C/3", "H-L"]),
                   "f": iter(["2", "0", "1", "3"]), "t": iter(["'x'"])}
        given = [next(samples[kind]) for _, kind, _ in word.params]
        (line,) = formula(f"{word.name}({','.join(given)})", bars)
        assert line.kind == word.name and list(line.args) == [p[0] for p in word.params]
        for (name, kind, _), arg in zip(word.params, given):
            if kind in "ft":
                assert line.args[name] == (float(arg) if kind == "f" else arg.strip("'"))
                continue
            expected = formula(arg, bars).lines[0].values
            if kind == "c":
                expected = ((expected != 0) & (expected == expected)).astype(float)
            assert np.array_equal(line.args[name], expected, equal_nan=True), (word.name, name)
        shown, cond = word.draws
        drawn = line.args[word.params[shown][0]]
        if cond is not None:
            drawn = np.where(line.args[word.params[cond][0]] != 0, drawn, NAN)
        assert np.array_equal(line.values, drawn, equal_nan=True), word.name


@pytest.mark.parametrize("seed", range(2))
def test_words_marked_rowwise_read_only_their_own_row(seed):
    # The engine runs these words on slices of rows: a word flagged wrongly
    # would give other values on a slice than on the whole column.
    rng = np.random.default_rng(seed)
    n, lo, hi = 200, 37, 151
    bars = {name: np.abs(numbers(rng, n)) + 1.0 for name in ("open", "high", "low", "close")}
    part = {k: v[lo:hi] for k, v in bars.items()}
    rowwise = [w for w in vocabulary().values() if w.rowwise]
    assert rowwise
    for word in rowwise:
        columns = iter(["C", "O", "H", "L"])
        args = [next(columns) if p[1] in "svck" else "2" for p in word.params if p[2] is None]
        text = f"{word.name}({','.join(args)})"
        whole, sliced = formula(text, bars).lines[0].values, formula(text, part).lines[0].values
        assert np.array_equal(whole[lo:hi], sliced, equal_nan=True), word.name

"""Command line for the formula language.

    python -m tarvex screen FORMULA_FILE MARKET_FILE [--date D] [-p N=9 ...]
    python -m tarvex run FORMULA_FILE MARKET_FILE [-o OUT.csv] [-p N=9 ...]

The market file is CSV or Parquet with code and date columns and the bar
columns (open, high, low, close, volume or vol, amount), matched
case-insensitively; ``--code`` and ``--date-column`` name other code and
date columns, ``--column close="Adj Close"`` another column of a field.
``--events FILE`` computes on prices forward-adjusted across the ex-date
events of FILE (code, date, cash, bonus, rights, rights_price), ``--period``
on bars of a longer period (W, M, Q, Y; 5min ... 60min, D from minutes).
Codes are read as text (000001 keeps its zeros); dates written as text are
read as dates (2024-01-08, 2024/1/8, 2024-01-08 09:30 ...), and a column
that does not read as dates is refused naming a value. `screen` prints the
codes whose condition (the last line that is not a drawing) holds on the
date (each code's last bar by default; ``--date`` is the day;
``--lookahead`` allows a condition reading later bars), and when none does
says on standard error how many codes were screened; `run` writes every
output line for every row as CSV.
"""
from __future__ import annotations

import argparse
import csv
import sys
from typing import Any, Dict, List, Optional, Sequence

from tarvex._columns import find
from tarvex.formula import FormulaError, formula, screen

# Text date layouts tried in order, as spreadsheets and exports write them;
# ISO 8601 (with a time, a "T" or a zone) is tried last.
_DATE_FORMATS = ("%Y-%m-%d", "%Y/%m/%d", "%Y%m%d", "%Y.%m.%d", "%Y-%m-%d %H:%M:%S", "%Y/%m/%d %H:%M:%S",
                 "%Y-%m-%d %H:%M", "%Y/%m/%d %H:%M", "%m/%d/%Y", "%d.%m.%Y")


def _read_text(path: str) -> str:
    with open(path, "rb") as f:
        raw = f.read()
    for encoding in ("utf-8-sig", "gb18030"):
        try:
            return raw.decode(encoding)
        except UnicodeDecodeError:
            pass
    raise FormulaError(f"{path}: the formula file is neither UTF-8 nor GB18030 text")


def _column(names: Sequence[Any], given: Optional[str], default: str) -> Optional[Any]:
    """The column called `given` (or `default`), exactly or else ignoring
    case: the rule of the formula functions."""
    wanted = given if given is not None else default
    if wanted in names:
        return wanted
    found = find(names, (wanted.lower(),))
    if found is None and given is not None:
        raise FormulaError(f"there is no column {given!r}; the columns are: {', '.join(map(repr, names))}")
    return found


def _read_market(path: str, code_column: Optional[str], date_column: Optional[str]) -> Any:
    """The market file as a pandas frame, its code column as text and a
    text date column as datetimes; the code and date columns' names."""
    import pandas as pd

    if path.lower().endswith((".parquet", ".pq")):
        market = pd.read_parquet(path)
        code = _column(list(market.columns), code_column, "code")
    else:
        # Codes such as 000001 keep their leading zeros: the code column is read as text.
        with open(path, newline="", encoding="utf-8-sig") as f:
            header = next(csv.reader(f), [])
        code = _column(header, code_column, "code")
        market = pd.read_csv(path, dtype={code: str} if code is not None else None, encoding="utf-8-sig")
    date = _column(list(market.columns), date_column, "date")
    if date is not None and market[date].dtype.kind in "OUS" or (date is not None and str(market[date].dtype) == "str"):
        market[date] = _dates(market[date], date)
    return market, code, date


def _dates(column: Any, name: Any) -> Any:
    """A text column as datetimes in the first layout that reads every
    value; FormulaError naming a value none reads."""
    import pandas as pd

    text = column.astype(str).str.strip()
    present = column.notna() & (text != "")
    best: Any = None
    for layout in (*_DATE_FORMATS, "ISO8601"):
        parsed = pd.to_datetime(text.where(present), format=layout, errors="coerce")
        failed = present & parsed.isna()
        if not failed.any():
            return parsed
        if best is None or failed.sum() < best.sum():
            best = failed
    bad = column[best].iloc[0]
    raise FormulaError(f"the date column {name!r} does not read as dates: {bad!r} is not a date")


def _params(pairs: List[str]) -> Dict[str, float]:
    params: Dict[str, float] = {}
    for pair in pairs:
        name, sep, value = pair.partition("=")
        try:
            if not sep or not name.strip():
                raise ValueError
            params[name.strip()] = float(value)
        except ValueError:
            raise FormulaError(f"parameter {pair!r} is not NAME=NUMBER") from None
    return params


def _date_value(text: str, market: Any, date_column: Any) -> Any:
    """The --date text in the type of the market's date column: a number for
    a column of numbers, else the text (read as a date against dates)."""
    if date_column is None:
        return text
    kind = market[date_column].dtype.kind
    try:
        if kind in "iu":
            return int(text)
        if kind == "f":
            return float(text)
    except ValueError:
        raise FormulaError(f"date {text!r} does not match the date column {date_column!r} of numbers") from None
    return text


def _digits(text: str) -> Optional[int]:
    return None if text.lower() == "none" else int(text)


def _fields(pairs: List[str]) -> Dict[str, str]:
    columns: Dict[str, str] = {}
    for pair in pairs:
        field, sep, name = pair.partition("=")
        if not sep or not field.strip() or not name:
            raise FormulaError(f"--column {pair!r} is not FIELD=COLUMN (close=Adj Close)")
        columns[field.strip().lower()] = name
    return columns


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tarvex", description="Run charting formulas over a market file.")
    commands = parser.add_subparsers(dest="command", required=True)
    for name, summary in (("screen", "print the codes whose condition (the last line that is not a drawing) holds"),
                          ("run", "write every output line for every row as CSV")):
        cmd = commands.add_parser(name, help=summary, description=summary)
        cmd.add_argument("formula_file")
        cmd.add_argument("market_file", help="CSV or Parquet")
        cmd.add_argument("-p", "--param", action="append", default=[], metavar="NAME=VALUE",
                         help="a formula parameter, e.g. -p N=9 (repeatable)")
        cmd.add_argument("--code", "--code-column", dest="code_column", help='the code column (default "code")')
        cmd.add_argument("--date-column", help='the date column (default "date")')
        cmd.add_argument("--column", action="append", default=[], metavar="FIELD=COLUMN",
                         help='the column of a bar field, e.g. --column "close=Adj Close" (repeatable)')
        cmd.add_argument("--duplicates", choices=("raise", "first", "last"), default="raise",
                         help="what a repeated code and date does (default: an error)")
        cmd.add_argument("--digits", type=_digits, default=3,
                         help='decimals of the rounded indicators, or "none" (default 3)')
        cmd.add_argument("--min-bars", type=int, default=0, help="bars of each code without a value (default 0)")
        cmd.add_argument("--period", help="compute on bars of this period: W, M, Q, Y (from daily bars); "
                                          "5min, 15min, 30min, 60min, D (from 1-minute bars)")
        cmd.add_argument("--events", metavar="EVENTS_FILE",
                         help="compute on prices forward-adjusted across these ex-date events (CSV or Parquet: "
                              "code, date, cash, bonus, rights, rights_price per share)")
        if name == "screen":
            cmd.add_argument("--date", help="the day to screen (default: each code's last bar)")
            cmd.add_argument("--lookahead", action="store_true",
                             help="screen on a condition that reads later bars (ZIG, REFX ...) all the same")
        else:
            cmd.add_argument("-o", "--output", help="write the CSV here instead of standard output")
    args = parser.parse_args(argv)
    try:
        text = _read_text(args.formula_file)
        params = _params(args.param)
        market, code, date = _read_market(args.market_file, args.code_column, args.date_column)
        columns, duplicates, digits, min_bars = _fields(args.column), args.duplicates, args.digits, args.min_bars
        events = None if args.events is None else _read_market(args.events, None, None)[0]
        period = args.period
        if args.command == "screen":
            day = None if args.date is None else _date_value(args.date, market, date)
            codes = screen(text, market, day, code=code, date_column=date, columns=columns, duplicates=duplicates,
                           digits=digits, min_bars=min_bars, lookahead=args.lookahead, period=period, adjust=events,
                           **params)
            for found in codes:
                print(found)
            if not codes:
                screened = market[code].nunique() if code is not None else 0
                print(f"no code passes: {screened} codes screened" + (f" on {args.date}" if args.date else ""),
                      file=sys.stderr)
        else:
            frame = formula(text, market, code=code, date=date, columns=columns, duplicates=duplicates,
                            digits=digits, min_bars=min_bars, period=period, adjust=events, **params).to_frame()
            frame.to_csv(args.output if args.output else sys.stdout, index=False)
    except BrokenPipeError:  # the reader stopped early (| head)
        sys.stdout = None
        return 0
    except (ValueError, OSError) as e:  # FormulaError, unreadable or malformed files
        print(f"error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

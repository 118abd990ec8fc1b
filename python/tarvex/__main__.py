"""Command line for the formula language.

    python -m tarvex screen FORMULA_FILE MARKET_FILE [--date D] [-p N=9 ...]
    python -m tarvex run FORMULA_FILE MARKET_FILE [-o OUT.csv] [-p N=9 ...]

The market file is CSV or Parquet with code and date columns and the bar
columns (open, high, low, close, volume or vol, amount), matched
case-insensitively. `screen` prints the codes whose condition (the last
line that is not a drawing) holds on the date (each code's last bar by
default; `--lookahead` allows a condition reading later bars); `run` writes
every output line for every row as CSV.
"""
from __future__ import annotations

import argparse
import csv
import sys
from typing import Any, Dict, List, Optional, Sequence

from tarvex.formula import FormulaError, formula, screen


def _read_text(path: str) -> str:
    with open(path, "rb") as f:
        raw = f.read()
    for encoding in ("utf-8-sig", "gb18030"):
        try:
            return raw.decode(encoding)
        except UnicodeDecodeError:
            pass
    raise FormulaError(f"{path}: the formula file is neither UTF-8 nor GB18030 text")


def _read_market(path: str, code_column: Optional[str]) -> Any:
    import pandas as pd

    if path.lower().endswith((".parquet", ".pq")):
        return pd.read_parquet(path)
    # Codes such as 000001 keep their leading zeros: the code column is read as text.
    with open(path, newline="", encoding="utf-8-sig") as f:
        header = next(csv.reader(f), [])
    wanted = code_column if code_column is not None else "code"
    text_columns = {name: str for name in header if name == wanted or (code_column is None and name.lower() == "code")}
    return pd.read_csv(path, dtype=text_columns, encoding="utf-8-sig")


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


def _date_value(text: str, market: Any, date_column: Optional[str]) -> Any:
    """The --date text in the type of the market's date column."""
    names = {str(c).lower(): c for c in market.columns}
    column = date_column if date_column is not None else names.get("date")
    if column is None or column not in market.columns:
        return text
    kind = market[column].dtype.kind
    try:
        if kind in "iu":
            return int(text)
        if kind == "f":
            return float(text)
    except ValueError:
        raise FormulaError(f"date {text!r} does not match the date column") from None
    return text


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
        cmd.add_argument("--code-column", help='the code column (default "code")')
        cmd.add_argument("--date-column", help='the date column (default "date")')
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
        market = _read_market(args.market_file, args.code_column)
        columns = {"code_column": args.code_column, "date_column": args.date_column}
        if args.command == "screen":
            date = None if args.date is None else _date_value(args.date, market, args.date_column)
            for code in screen(text, market, date, lookahead=args.lookahead, **columns, **params):
                print(code)
        else:
            frame = formula(text, market, **columns, **params).to_frame()
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

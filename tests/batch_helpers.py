"""Slow Python twins of BATCH and BATCH_CROSS built on the module's own
single-series functions, and a generator of random market tables."""
import math

import tarvex_core as tc

# name -> (defaults p0..p2, expanding, fields, computation on one security)
REGISTRY = {
    "ma": ((5, 0, 0), True, None, lambda g, p: [tc.MA(g["close"], p[0])]),
    "ema": ((5, 0, 0), True, None, lambda g, p: [tc.EMA(g["close"], p[0])]),
    "sma": ((5, 1, 0), True, None, lambda g, p: [tc.SMA(g["close"], p[0], p[1])]),
    "wma": ((5, 0, 0), True, None, lambda g, p: [tc.WMA(g["close"], p[0])]),
    "dma": ((10, 0, 0), True, None, lambda g, p: [tc.DMA(g["close"], p[0] / 100.0)]),
    "std": ((5, 0, 0), True, None, lambda g, p: [tc.STD(g["close"], p[0])]),
    "sum": ((5, 0, 0), True, None, lambda g, p: [tc.SUM(g["close"], p[0])]),
    "hhv": ((5, 0, 0), True, None, lambda g, p: [tc.HHV(g["close"], p[0])]),
    "llv": ((5, 0, 0), True, None, lambda g, p: [tc.LLV(g["close"], p[0])]),
    "ref": ((1, 0, 0), True, None, lambda g, p: [tc.REF(g["close"], p[0])]),
    "macd": ((12, 26, 9), False, ["dif", "dea", "macd"], lambda g, p: tc.MACD(g["close"], *p[:3])),
    "trix": ((12, 20, 0), False, ["trix", "trma"], lambda g, p: tc.TRIX(g["close"], *p[:2])),
    "dfma": ((10, 50, 10), False, ["dfma_dif", "dfma_difma"], lambda g, p: tc.DFMA(g["close"], *p[:3])),
    "expma": ((12, 50, 0), False, ["exp1", "exp2"], lambda g, p: tc.EXPMA(g["close"], *p[:2])),
    "bbi": ((3, 6, 12), False, ["bbi"], lambda g, p: [tc.BBI(g["close"], *p)]),
    "dpo": ((20, 10, 6), False, ["dpo", "madpo"], lambda g, p: tc.DPO(g["close"], *p[:3])),
    "mtm": ((12, 6, 0), False, ["mtm", "mtmma"], lambda g, p: tc.MTM(g["close"], *p[:2])),
    "roc": ((12, 6, 0), False, ["roc", "maroc"], lambda g, p: tc.ROC(g["close"], *p[:2])),
    "kdj": ((9, 3, 3), False, ["k", "d", "j"], lambda g, p: tc.KDJ(g["close"], g["high"], g["low"], *p[:3])),
    "rsi": ((24, 0, 0), False, ["rsi"], lambda g, p: [tc.RSI(g["close"], p[0])]),
    "wr": ((10, 6, 0), False, ["wr", "wr1"], lambda g, p: tc.WR(g["close"], g["high"], g["low"], *p[:2])),
    "bias": ((6, 12, 24), False, ["bias1", "bias2", "bias3"], lambda g, p: tc.BIAS(g["close"], *p[:3])),
    "psy": ((12, 6, 0), False, ["psy", "psyma"], lambda g, p: tc.PSY(g["close"], *p[:2])),
    "cci": ((14, 0, 0), False, ["cci"], lambda g, p: [tc.CCI(g["close"], g["high"], g["low"], p[0])]),
    "boll": ((20, 2, 0), False, ["upper", "mid", "lower"], lambda g, p: tc.BOLL(g["close"], p[0], float(p[1]))),
    "atr": ((20, 0, 0), False, ["atr"], lambda g, p: [tc.ATR(g["close"], g["high"], g["low"], p[0])]),
    "taq": ((20, 0, 0), False, ["taq_up", "taq_mid", "taq_down"], lambda g, p: tc.TAQ(g["high"], g["low"], p[0])),
    "ktn": ((20, 10, 0), False, ["ktn_up", "ktn_mid", "ktn_down"],
            lambda g, p: tc.KTN(g["close"], g["high"], g["low"], *p[:2])),
    "xsii": ((102, 7, 0), False, ["td1", "td2", "td3", "td4"],
             lambda g, p: tc.XSII(g["close"], g["high"], g["low"], *p[:2])),
    "mass": ((9, 25, 6), False, ["mass", "ma"], lambda g, p: tc.MASS(g["high"], g["low"], *p[:3])),
    "obv": ((0, 0, 0), False, ["obv"], lambda g, p: [tc.OBV(g["close"], g["volume"])]),
    "vr": ((26, 0, 0), False, ["vr"], lambda g, p: [tc.VR(g["close"], g["volume"], p[0])]),
    "cr": ((20, 0, 0), False, ["cr"], lambda g, p: [tc.CR(g["close"], g["high"], g["low"], p[0])]),
    "emv": ((14, 9, 0), False, ["emv", "maemv"], lambda g, p: tc.EMV(g["high"], g["low"], g["volume"], *p[:2])),
    "brar": ((26, 0, 0), False, ["ar", "br"], lambda g, p: tc.BRAR(g["open"], g["close"], g["high"], g["low"], p[0])),
    "asi": ((26, 10, 0), False, ["asi", "asit"],
            lambda g, p: tc.ASI(g["open"], g["close"], g["high"], g["low"], *p[:2])),
    "dmi": ((14, 6, 0), False, ["pdi", "mdi", "adx", "adxr"],
            lambda g, p: tc.DMI(g["close"], g["high"], g["low"], *p[:2])),
    "mfi": ((14, 0, 0), False, ["mfi"], lambda g, p: [tc.MFI(g["close"], g["high"], g["low"], g["volume"], p[0])]),
}

PAIRS = {"macd": ("dif", "dea"), "dfma": ("dfma_dif", "dfma_difma"), "trix": ("trix", "trma"),
         "mass": ("mass", "ma"), "kdj": ("k", "d"), "dmi": ("pdi", "mdi"), "emv": ("emv", "maemv"),
         "dpo": ("dpo", "madpo"), "mtm": ("mtm", "mtmma"), "roc": ("roc", "maroc"), "asi": ("asi", "asit")}

COLUMNS = ["code_i", "date", "open", "high", "low", "close", "volume"]


def tasks(names, params):
    """[(name index, lower name, p0..p3, fields)] in column order."""
    out = []
    for i, name in enumerate(names):
        low = name.lower()
        values = params[i] if i < len(params) else []
        defaults, expanding, fields, _ = REGISTRY[low]
        d = list(defaults) + [20]
        if expanding and len(values) >= 2:
            sets = [[x or d[0]] + d[1:] for x in values]
        else:
            sets = [[values[k] if k < len(values) and values[k] else d[k] for k in range(4)]]
        out += [(i, low, p, [low + str(p[0])] if expanding else fields) for p in sets]
    return out


def groups(table):
    """{code: row indices with finite close, sorted by date (stable)}, ascending code."""
    by_code = {}
    for r, (c, close) in enumerate(zip(table["code_i"], table["close"])):
        if math.isfinite(close):
            by_code.setdefault(c, []).append(r)
    return {c: sorted(rows, key=lambda r: table["date"][r]) for c, rows in sorted(by_code.items())}


def batch_twin(names, params, table, cross=None):
    """The BATCH table (cross=None) or the BATCH_CROSS table (cross=keep_values)."""
    ts = tasks(names, params)
    fields = [f for t in ts for f in t[3]]
    pairs = []
    for i, name in enumerate(names):
        mine = [t for t in ts if t[0] == i]
        if mine[0][1] in PAIRS:
            pairs.append((mine[0][1] + "_cross",) + PAIRS[mine[0][1]])
        elif REGISTRY[mine[0][1]][1] and len(mine) == 2:
            pairs.append((mine[0][1] + "_cross", mine[0][3][0], mine[1][3][0]))
    signal_names = ["cross"] if len(pairs) == 1 else [p[0] for p in pairs] + ["cross"]
    out_names = fields if cross is None else (fields if cross else []) + signal_names
    codes, dates, cols = [], [], [[] for _ in out_names]
    for code, rows in groups(table).items():
        g = {k: [table[k][r] for r in rows] for k in COLUMNS[2:]}
        outputs = [list(s) for t in ts for s in REGISTRY[t[1]][3](g, t[2])]
        if cross is not None:
            signals = [tc.CROSS(outputs[fields.index(f)], outputs[fields.index(s)]) for _, f, s in pairs]
            if len(signals) > 1:
                signals.append([1.0 if all(s[j] == 1.0 for s in signals) else 0.0 for j in range(len(rows))])
            outputs = (outputs if cross else []) + signals
        codes += [code] * len(rows)
        dates += [table["date"][r] for r in rows]
        for col, s in zip(cols, outputs):
            col += s
    return codes, dates, out_names, cols


def random_table(rnd, n_rows, n_codes=4, nan_share=0.1):
    """Shuffled rows of a few securities with duplicate dates and NaN / inf values."""
    pool = rnd.sample([0, 1, 2, 10, 600000, 2**63, 2**64 - 1], n_codes)
    odd_values = [math.nan, math.inf, -math.inf]

    def value(base):
        return rnd.choice(odd_values) if rnd.random() < nan_share else base * rnd.uniform(0.9, 1.1)

    t = {k: [] for k in COLUMNS}
    for _ in range(n_rows):
        close = round(rnd.uniform(5.0, 15.0), rnd.choice([1, 2]))  # rounding gives ties
        row = [rnd.choice(pool), rnd.randrange(-5, n_rows), value(close), value(close * 1.05),
               value(close * 0.95), value(close), value(1e6)]
        for k, v in zip(COLUMNS, row):
            t[k].append(v)
    return t

"""The module's function table, argument binding and argument conversion."""
import inspect
import sys

import pytest

import tarvex_core as tc
from helpers import NAN, assert_same

HAS_NOTES = sys.version_info >= (3, 11)

# (name, text signature, description) in registration order.
TABLE = [
    ('RD', 'RD(n, d=3)', '四舍五入取 D 位小数'),
    ('RET', 'RET(s, n=1)', '返回序列倒数第 N 个值'),
    ('ABS', 'ABS(s)', '绝对值'),
    ('LN', 'LN(s)', '自然对数'),
    ('POW', 'POW(s, n)', 'S 的 N 次方'),
    ('SQRT', 'SQRT(s)', '平方根'),
    ('SIN', 'SIN(s)', '正弦'),
    ('COS', 'COS(s)', '余弦'),
    ('TAN', 'TAN(s)', '正切'),
    ('MAX', 'MAX(s1, s2)', '序列逐元素取最大值'),
    ('MIN', 'MIN(s1, s2)', '序列逐元素取最小值'),
    ('IF', 'IF(s, a, b)', '序列条件判断  IF(cond, A, B) → A if True else B'),
    ('REF', 'REF(s, n=1)', '序列下移 N (shift)'),
    ('DIFF', 'DIFF(s, n=1)', '前后差分'),
    ('STD', 'STD(s, n)', 'N 日滚动标准差 (ddof=0)'),
    ('SUM', 'SUM(s, n)', 'N 日滚动求和 (N=0 时为累积求和)'),
    ('CONST', 'CONST(s)', '用序列最后一个值构造常量序列'),
    ('HHV', 'HHV(s, n)', 'N 日最高值'),
    ('LLV', 'LLV(s, n)', 'N 日最低值'),
    ('HHVBARS', 'HHVBARS(s, n)', 'N 日最高值到当前的周期数'),
    ('LLVBARS', 'LLVBARS(s, n)', 'N 日最低值到当前的周期数'),
    ('MA', 'MA(s, n)', 'N 日简单移动平均'),
    ('EMA', 'EMA(s, n)', 'N 日指数移动平均 alpha=2/(N+1)'),
    ('SMA', 'SMA(s, n, m=1)', '中国式 SMA  alpha=M/N'),
    ('WMA', 'WMA(s, n)', '加权移动平均'),
    ('DMA', 'DMA(s, a)', '动态移动平均 (A 为标量或序列)'),
    ('AVEDEV', 'AVEDEV(s, n)', '平均绝对偏差'),
    ('SLOPE', 'SLOPE(s, n)', 'N 周期线性回归斜率'),
    ('FORCAST', 'FORCAST(s, n)', 'N 周期线性回归预测值'),
    ('LAST', 'LAST(s, a, b)', '从前 A 日到前 B 日一直满足条件'),
    ('COUNT', 'COUNT(s, n)', '最近 N 天满足条件的天数'),
    ('EVERY', 'EVERY(s, n)', '最近 N 天是否全部满足条件'),
    ('EXIST', 'EXIST(s, n)', 'N 日内是否存在满足条件'),
    ('FILTER', 'FILTER(s, n)', '满足条件后将其后 N 周期置 0'),
    ('BARSLAST', 'BARSLAST(s)', '上一次条件成立到当前的周期数'),
    ('BARSLASTCOUNT', 'BARSLASTCOUNT(s)', '连续满足条件的周期数'),
    ('BARSSINCEN', 'BARSSINCEN(s, n)', 'N 周期内第一次条件成立到现在的周期数'),
    ('CROSS', 'CROSS(s1, s2)', '金叉判断 (S1 从下方穿越 S2)'),
    ('LONGCROSS', 'LONGCROSS(s1, s2, n)', 'S1 在 N 周期内都小于 S2 后穿越'),
    ('VALUEWHEN', 'VALUEWHEN(s, x)', '当 S 条件成立时取 X 值,否则取上个成立时的值'),
    ('BETWEEN', 'BETWEEN(s, a, b)', 'S 处于 A 和 B 之间'),
    ('TOPRANGE', 'TOPRANGE(s)', '当前值是近多少周期内的最大值'),
    ('LOWRANGE', 'LOWRANGE(s)', '当前值是近多少周期内的最小值'),
    ('MACD', 'MACD(close, short=12, long=26, m=9)', 'MACD 指标'),
    ('KDJ', 'KDJ(close, high, low, n=9, m1=3, m2=3)', 'KDJ 指标'),
    ('RSI', 'RSI(close, n=24)', 'RSI 指标'),
    ('WR', 'WR(close, high, low, n=10, n1=6)', 'W&R 威廉指标'),
    ('BIAS', 'BIAS(close, l1=6, l2=12, l3=24)', 'BIAS 乖离率'),
    ('BOLL', 'BOLL(close, n=20, p=2.0)', 'BOLL 布林带'),
    ('PSY', 'PSY(close, n=12, m=6)', 'PSY 心理线'),
    ('CCI', 'CCI(close, high, low, n=14)', 'CCI 顺势指标'),
    ('ATR', 'ATR(close, high, low, n=20)', 'ATR 真实波动 N 日均值'),
    ('BBI', 'BBI(close, m1=3, m2=6, m3=12, m4=20)', 'BBI 多空指标'),
    ('DMI', 'DMI(close, high, low, m1=14, m2=6)', 'DMI 动向指标'),
    ('TAQ', 'TAQ(high, low, n)', '唐安奇通道 (海龟交易)'),
    ('KTN', 'KTN(close, high, low, n=20, m=10)', 'KTN 肯特纳通道'),
    ('TRIX', 'TRIX(close, m1=12, m2=20)', 'TRIX 三重指数平滑'),
    ('VR', 'VR(close, vol, m1=26)', 'VR 容量比率'),
    ('CR', 'CR(close, high, low, n=20)', 'CR 价格动量指标'),
    ('EMV', 'EMV(high, low, vol, n=14, m=9)', 'EMV 简易波动指标'),
    ('DPO', 'DPO(close, m1=20, m2=10, m3=6)', 'DPO 区间震荡线'),
    ('BRAR', 'BRAR(open, close, high, low, m1=26)', 'BRAR 情绪指标'),
    ('DFMA', 'DFMA(close, n1=10, n2=50, m=10)', 'DFMA 平行线差指标'),
    ('MTM', 'MTM(close, n=12, m=6)', 'MTM 动量指标'),
    ('MASS', 'MASS(high, low, n1=9, n2=25, m=6)', 'MASS 梅斯线'),
    ('ROC', 'ROC(close, n=12, m=6)', 'ROC 变动率指标'),
    ('EXPMA', 'EXPMA(close, n1=12, n2=50)', 'EXPMA 指数平均数指标'),
    ('OBV', 'OBV(close, vol)', 'OBV 能量潮指标'),
    ('MFI', 'MFI(close, high, low, vol, n=14)', 'MFI 资金流量指标'),
    ('ASI', 'ASI(open, close, high, low, m1=26, m2=10)', 'ASI 振动升降指标'),
    ('XSII', 'XSII(close, high, low, n=102, m=7)', 'XSII 薛斯通道II'),
    ('ZHISHU', 'ZHISHU(code_i, date, open, high, low, close, volume, amount, float_mv, total_mv, method=1, base=1000.0)', ''),
    ('BATCH', 'BATCH(names_in, params_in, code_i, date, open, high, low, close, volume)', ''),
    ('BATCH_CROSS', 'BATCH_CROSS(names_in, params_in, code_i, date, open, high, low, close, volume, keep_values)', ''),
]

NAMES = [name for name, _, _ in TABLE]


def test_module_attributes():
    assert tc.__name__ == "tarvex_core"
    assert tc.__doc__ == ""
    assert tc.__all__ == NAMES
    assert all(type(n) is str for n in tc.__all__)
    public = {n for n in dir(tc) if not n.startswith("__")}
    assert public == set(NAMES)


@pytest.mark.parametrize("name,signature,description", TABLE, ids=NAMES)
def test_function_row(name, signature, description):
    f = getattr(tc, name)
    assert f.__name__ == name
    assert f.__module__ == "tarvex_core"
    assert f.__self__ is tc
    assert f.__text_signature__ == signature[len(name):]
    assert f.__doc__ == (description or None)
    assert name + str(inspect.signature(f)) == signature
    for p in inspect.signature(f).parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


def test_signature_defaults_are_typed():
    params = inspect.signature(tc.ZHISHU).parameters
    assert params["method"].default == 1 and params["base"].default == 1000.0
    assert inspect.signature(tc.BOLL).parameters["p"].default == 2.0


# ---- binding ----

@pytest.mark.parametrize("call,message", [
    (lambda: tc.REF([1.0], 1, 2), "REF() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: tc.ABS([1.0], 2), "ABS() takes 1 positional arguments but 2 were given"),
    (lambda: tc.MA([1.0], 2, 3), "MA() takes 2 positional arguments but 3 were given"),
    (lambda: tc.TAQ([1.0], [1.0], 1, 2), "TAQ() takes 3 positional arguments but 4 were given"),
    (lambda: tc.MA([1.0], 2, x=1), "MA() got an unexpected keyword argument 'x'"),
    (lambda: tc.MA([1.0], 2, n=3), "MA() got multiple values for argument 'n'"),
    (lambda: tc.MA([1.0]), "MA() missing 1 required positional argument: 'n'"),
    (lambda: tc.MA(), "MA() missing 2 required positional arguments: 's' and 'n'"),
    (lambda: tc.BETWEEN([1.0]), "BETWEEN() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: tc.KDJ(), "KDJ() missing 3 required positional arguments: 'close', 'high', and 'low'"),
    (lambda: tc.KDJ(n=3), "KDJ() missing 3 required positional arguments: 'close', 'high', and 'low'"),
    (lambda: tc.KDJ([1.0], low=[1.0]), "KDJ() missing 1 required positional argument: 'high'"),
    # a binding error comes before any conversion error
    (lambda: tc.MA("abc", 2, 3), "MA() takes 2 positional arguments but 3 were given"),
    (lambda: tc.MA("abc", z=1), "MA() got an unexpected keyword argument 'z'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None


def test_one_positional_given_uses_was():
    with pytest.raises(TypeError, match=r"^CONST\(\) takes 1 positional arguments but 2 were given$"):
        tc.CONST([1.0], 1)
    with pytest.raises(TypeError, match=r"^RD\(\) takes from 1 to 2 positional arguments but 3 were given$"):
        tc.RD([1.0], 1, 1)


@pytest.mark.parametrize("call", [
    lambda: tc.REF(s=[1.0, 2.0]),
    lambda: tc.REF(n=1, s=[1.0, 2.0]),
    lambda: tc.REF([1.0, 2.0], n=1),
])
def test_keywords_bind_by_name(call):
    assert_same(call(), [NAN, 1.0])


# ---- conversion ----

def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


def assert_noted(exc, parameter):
    if HAS_NOTES:
        assert exc.__notes__ == [f"while processing '{parameter}'"]
    else:
        assert not hasattr(exc, "__notes__")


class Boom(Exception):
    pass


class LenRaises(list):
    def __len__(self):
        raise Boom("len")


class LenLies(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class IterRaises(list):
    def __iter__(self):
        yield 1.0
        yield 2.0
        raise Boom("midway")


class FloatRaises:
    def __float__(self):
        raise Boom("float")


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IndexRaises:
    def __index__(self):
        raise Boom("index")


@pytest.mark.parametrize("value,exc_type,message", [
    ("abc", TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    (1.5, TypeError, "'float' object is not an instance of 'Sequence'"),
    ({1: 2}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    ({1.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ([1, 2, None], TypeError, "must be real number, not NoneType"),
    ([1, "x"], TypeError, "must be real number, not str"),
    ([10 ** 400], OverflowError, None),
    (IterRaises([1.0, 2.0, 3.0]), Boom, "midway"),
    ([1.0, FloatRaises()], Boom, "float"),
])
def test_series_conversion_errors(value, exc_type, message):
    exc = raised(lambda: tc.MA(value, 2))
    assert type(exc) is exc_type
    if message is not None:
        assert str(exc) == message
    assert_noted(exc, "s")


@pytest.mark.parametrize("value,expected", [
    ((1, 2, 3), [1.0, 2.0, 3.0]),
    (range(3), [0.0, 1.0, 2.0]),
    ([True, False, 2], [1.0, 0.0, 2.0]),
    ([FloatLike(2.5), IndexLike(3)], [2.5, 3.0]),
    (LenRaises([1.0, 2.0]), [1.0, 2.0]),
    (LenLies([1.0, 2.0, 3.0], 0), [1.0, 2.0, 3.0]),
    (LenLies([1.0, 2.0], sys.maxsize), [1.0, 2.0]),
    ([], []),
])
def test_series_accepted_shapes(value, expected):
    assert tc.REF(value, 0) == expected


def test_series_len_overflowing_is_ignored():
    class Huge(list):
        def __len__(self):
            return 2 ** 100

    assert tc.REF(Huge([4.0]), 0) == [4.0]


@pytest.mark.parametrize("n,exc_type,message", [
    (-1, OverflowError, None),
    (2 ** 64, OverflowError, None),
    (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "'str' object cannot be interpreted as an integer"),
    (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    (IndexRaises(), Boom, "index"),
    (IndexLike(-2), OverflowError, None),
])
def test_unsigned_conversion_errors(n, exc_type, message):
    exc = raised(lambda: tc.MA([1.0], n))
    assert type(exc) is exc_type
    if message is not None:
        assert str(exc) == message
    assert_noted(exc, "n")


@pytest.mark.parametrize("n,expected_n", [(True, 1), (IndexLike(2), 2), (2 ** 64 - 1, None)])
def test_unsigned_accepted(n, expected_n):
    s = [1.0, 2.0, 3.0]
    if expected_n is None:
        assert all(x != x for x in tc.MA(s, n))
    else:
        assert_same(tc.MA(s, n), tc.MA(s, expected_n))


def test_u32_range():
    exc = raised(lambda: tc.RD([1.2345], 4294967296))
    assert type(exc) is OverflowError
    assert str(exc) == "out of range integral type conversion attempted"
    assert_noted(exc, "d")
    assert tc.RD([1.2345], 4294967295) == [1.2345]


@pytest.mark.parametrize("n,exc_type,message", [
    ("2", TypeError, "must be real number, not str"),
    (None, TypeError, "must be real number, not NoneType"),
    ([2.0], TypeError, "must be real number, not list"),
    (FloatRaises(), Boom, "float"),
])
def test_float_conversion_errors(n, exc_type, message):
    exc = raised(lambda: tc.POW([2.0], n))
    assert type(exc) is exc_type and str(exc) == message
    assert_noted(exc, "n")


@pytest.mark.parametrize("n,expected", [(2, [4.0]), (FloatLike(3.0), [8.0]), (IndexLike(1), [2.0])])
def test_float_accepted(n, expected):
    assert tc.POW([2.0], n) == expected


def vs_message(scalar_cause, series_cause):
    return ("failed to extract enum VS ('S | V')\n"
            "- variant S (S): TypeError: failed to extract field VS::S.0, caused by " + scalar_cause + "\n"
            "- variant V (V): TypeError: failed to extract field VS::V.0, caused by " + series_cause)


@pytest.mark.parametrize("value,message", [
    ("a", vs_message("TypeError: must be real number, not str", "TypeError: Can't extract `str` to `Vec`")),
    (None, vs_message("TypeError: must be real number, not NoneType",
                      "TypeError: 'None' is not an instance of 'Sequence'")),
    ([1.0, "x"], vs_message("TypeError: must be real number, not list", "TypeError: must be real number, not str")),
    ({}, vs_message("TypeError: must be real number, not dict", "TypeError: 'dict' object is not an instance of 'Sequence'")),
])
def test_scalar_or_series_errors(value, message):
    exc = raised(lambda: tc.MAX([1.0], value))
    assert type(exc) is TypeError and str(exc) == message
    assert_noted(exc, "s2")


def test_conversion_stops_at_first_failing_argument():
    exc = raised(lambda: tc.IF([1.0], "a", "b"))
    assert_noted(exc, "a")
    exc = raised(lambda: tc.KDJ([1.0], [1.0], "x", n=-1))
    assert_noted(exc, "low")


def test_explicit_none_for_optional_parameter_fails():
    exc = raised(lambda: tc.REF([1.0], n=None))
    assert type(exc) is TypeError
    assert_noted(exc, "n")


@pytest.mark.skipif(HAS_NOTES, reason="exception notes exist from CPython 3.11 on")
def test_no_note_before_311():
    exc = raised(lambda: tc.MA("abc", 2))
    assert not hasattr(exc, "__notes__")


# ---- list kinds and the strict bool of the table functions ----

def batch_args(**override):
    args = dict(names_in=["ma"], params_in=[[2]], code_i=[1, 1], date=[1, 2], open=[1.0, 2.0],
                high=[1.0, 2.0], low=[1.0, 2.0], close=[1.0, 2.0], volume=[1.0, 2.0])
    args.update(override)
    return args


@pytest.mark.parametrize("override,parameter,exc_type,message", [
    (dict(names_in="ma"), "names_in", TypeError, "Can't extract `str` to `Vec`"),
    (dict(names_in=[1]), "names_in", TypeError, "'int' object is not an instance of 'str'"),
    (dict(names_in=["\ud800"]), "names_in", UnicodeEncodeError, None),
    (dict(params_in="5"), "params_in", TypeError, "Can't extract `str` to `Vec`"),
    (dict(params_in=["5"]), "params_in", TypeError, "Can't extract `str` to `Vec`"),
    (dict(params_in=[[1.5]]), "params_in", TypeError, "'float' object cannot be interpreted as an integer"),
    (dict(params_in=[[-1]]), "params_in", OverflowError, None),
    (dict(params_in=[5]), "params_in", TypeError, "'int' object is not an instance of 'Sequence'"),
    (dict(code_i=[1, -1]), "code_i", OverflowError, None),
    (dict(code_i=[1, 2 ** 64]), "code_i", OverflowError, None),
    (dict(date=[1, 2.0]), "date", TypeError, "'float' object cannot be interpreted as an integer"),
    (dict(date=[1, 2 ** 63]), "date", OverflowError, None),
    (dict(date=None), "date", TypeError, "'None' is not an instance of 'Sequence'"),
    (dict(volume=[1.0, "v"]), "volume", TypeError, "must be real number, not str"),
])
def test_table_argument_errors(override, parameter, exc_type, message):
    exc = raised(lambda: tc.BATCH(**batch_args(**override)))
    assert type(exc) is exc_type
    if message is not None:
        assert str(exc) == message
    assert_noted(exc, parameter)


def test_table_integers_accept_index_and_bool():
    codes, dates, _, _ = tc.BATCH(**batch_args(code_i=[True, IndexLike(1)], date=[-(2 ** 63), IndexLike(5)]))
    assert codes == [1, 1] and dates == [-(2 ** 63), 5]


@pytest.mark.parametrize("flag", [1, 0, None, "yes", 1.0])
def test_keep_values_is_strict_bool(flag):
    exc = raised(lambda: tc.BATCH_CROSS(**batch_args(names_in=["macd"], params_in=[]), keep_values=flag))
    assert type(exc) is TypeError
    expected = "'None' is not an instance of 'bool'" if flag is None else \
        f"'{type(flag).__name__}' object is not an instance of 'bool'"
    assert str(exc) == expected
    assert_noted(exc, "keep_values")


def test_keep_values_accepts_numpy_bool():
    np = pytest.importorskip("numpy")
    with_values = tc.BATCH_CROSS(**batch_args(names_in=["macd"], params_in=[]), keep_values=np.bool_(True))
    without = tc.BATCH_CROSS(**batch_args(names_in=["macd"], params_in=[]), keep_values=np.bool_(False))
    assert with_values[2] == ["dif", "dea", "macd", "cross"] and without[2] == ["cross"]


# ---- results ----

def test_results_are_fresh_lists():
    s = [1.0, 2.0]
    r1, r2 = tc.REF(s, 0), tc.REF(s, 0)
    assert r1 == s and r1 is not s and r1 is not r2
    assert type(tc.RET(s)) is float
    out = tc.MACD(s)
    assert type(out) is tuple and len(out) == 3 and all(type(x) is list for x in out)


@pytest.mark.parametrize("name", ["ma\x00x", "\x00", "ноль\x00"])
def test_value_error_message_keeps_embedded_nul(name):
    with pytest.raises(ValueError) as info:
        tc.BATCH(**batch_args(names_in=[name]))
    assert str(info.value) == "unsupported indicator: " + name.lower()

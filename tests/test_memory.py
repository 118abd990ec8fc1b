"""Memory exhaustion, in child interpreters whose address space is capped.

A call that cannot allocate what it needs (while converting its arguments,
computing, or building the Python result) raises MemoryError and leaves the
interpreter working; arguments that only look big (a lying length, a huge
period, a huge security code) must not make the module allocate anything of
their size.

The cap is set once the child has started and imported what it needs, at
what it holds then plus a fixed room: what the interpreter and its imports
take differs between builds, versions and machines (numpy alone reserves
over 100 MB on some), and every test counts on the same room for its own
allocations. An address-space cap does not depend on the machine's free
memory, and the children's time limit only guards against a hang.
"""
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space caps are set with setrlimit on Linux"),
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="AddressSanitizer reserves more address space than the cap allows"),
]

ROOM_MIB = 256
TESTS = os.path.dirname(os.path.abspath(__file__))
HANG_GUARD = 1800  # seconds; a child that takes this long is stuck, not slow

PRELUDE = """
import resource, sys
import tarvex_core as tc
{imports}

def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

ROOM = {room} * 2 ** 20
cap = address_space() + ROOM
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
HAS_NOTES = sys.version_info >= (3, 11)

def expect_memory_error(call, note):
    try:
        call()
    except MemoryError as exc:
        notes = getattr(exc, "__notes__", [])
        expected = [f"while processing '{{note}}'"] if note and HAS_NOTES else []
        assert notes == expected, (notes, expected)
    else:
        raise AssertionError("no MemoryError")

def still_works():
    assert tc.MA([1.0, 2.0, 3.0], 2)[1:] == [1.5, 2.5]
    one = [1.0, 1.0]
    fields, columns = tc.BATCH(["ma"], [[2]], [1, 1], [1, 2], one, one, one, [1.0, 3.0], one)[2:]
    assert fields == ["ma2"] and columns[0][1] == 2.0
    print("still working")
"""


def run_capped(body, room_mib=ROOM_MIB, imports=()):
    prelude = PRELUDE.format(room=room_mib, imports="\n".join(f"import {m}" for m in imports))
    code = textwrap.dedent(prelude) + textwrap.dedent(body) + "\nstill_works()\n"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([TESTS, os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=HANG_GUARD, env=env)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip().endswith("still working"), proc.stdout
    return proc.stdout


@pytest.mark.parametrize("imports", [(), ("numpy",)])
def test_the_cap_leaves_the_room(imports):
    # three quarters of the room fit whatever the child imported before the
    # cap; a block larger than the room does not
    for module in imports:
        pytest.importorskip(module)
    run_capped("""
        block = bytearray(ROOM * 3 // 4)
        del block
        expect_memory_error(lambda: bytearray(ROOM * 5 // 4), None)
        """, imports=imports)


def test_conversion_that_cannot_fit():
    # 10**12 bars need 8 TB: the native series outgrows the cap while it is read
    run_capped("""
        expect_memory_error(lambda: tc.MA(range(10 ** 12), 2), "s")
        expect_memory_error(lambda: tc.BATCH(["ma"], [[2]], range(10 ** 12), [], [], [], [], [], []), "code_i")
        expect_memory_error(lambda: tc.MAX(1.0, range(10 ** 12)), "s2")
        """)


def test_computation_that_cannot_fit():
    # 400 columns of 200,000 rows need 640 MB beyond the arguments: their
    # lists do not fit. Without the values, the lists of one cross signal
    # fit, and the 400 averages of the large security, computed on either
    # thread, do not.
    run_capped("""
        n = 200_000
        one = [1.0] * n
        args = (["ma"], [list(range(1, 401))], [1] * n, list(range(n)), one, one, one, one, one)
        expect_memory_error(lambda: tc.BATCH(*args), None)
        # 200 cross pairs kept with their values: 600 columns
        cross = (["ma"] * 200, [[1, 2]] * 200) + args[2:] + (True,)
        expect_memory_error(lambda: tc.BATCH_CROSS(*cross), None)
        codes = [0] * 1000 + [1] * (n - 1000)
        signal_only = (["macd", "ma"], [[], list(range(1, 401))], codes) + args[3:] + (False,)
        expect_memory_error(lambda: tc.BATCH_CROSS(*signal_only), None)
        """)


def test_result_objects_that_cannot_fit():
    # The native result of 6 million bars fits, its 6 million Python floats
    # (about 200 MB with the list) do not. A whole-market table fills its
    # lists while the pool still computes: 200 securities x 40 columns fit
    # natively (64 MB), not as 8 million floats.
    run_capped("""
        import array
        bars = array.array("d", bytes(8 * 6_000_000))
        expect_memory_error(lambda: tc.MA(bars, 2), None)
        del bars
        n = 200_000
        one = [1.0] * n
        args = (["ma"], [list(range(1, 41))], [i // 1000 for i in range(n)], list(range(n)), one, one, one, one, one)
        expect_memory_error(lambda: tc.BATCH(*args), None)
        """)


def test_repeated_exhaustion_leaves_no_residue():
    run_capped("""
        for _ in range(5):
            expect_memory_error(lambda: tc.MA(range(10 ** 12), 2), "s")
        import array
        bars = array.array("d", bytes(8 * 3_000_000))
        out = tc.MA(bars, 2)   # needs about 100 MB: only fits if nothing leaked
        assert len(out) == 3_000_000
        del out, bars
        """)


def test_lying_length_reserves_nothing_of_its_size():
    run_capped("""
        class Huge(list):
            def __len__(self):
                return sys.maxsize // 8
        assert tc.REF(Huge([1.0, 2.0]), 0) == [1.0, 2.0]
        assert tc.BATCH(Huge(["ma"]), Huge([Huge([2])]), Huge([1]), Huge([1]), Huge([1.0]), Huge([1.0]),
                        Huge([1.0]), Huge([1.0]), Huge([1.0]))[2] == ["ma2"]
        """)


def test_lying_lengths_of_inner_lists_do_not_add_up():
    run_capped("""
        class Huge(list):
            def __len__(self):
                return sys.maxsize // 8
        assert tc.BATCH(["ma"], [Huge([2])] * 100, [1], [1], [1.0], [1.0], [1.0], [1.0], [1.0])[2] == ["ma2"]
        """, room_mib=512)


def test_huge_periods_and_codes_allocate_nothing_of_their_size():
    # Every integer parameter set to a billion on a short series: no buffer
    # of the period's length may be allocated (8 GB would not fit).
    run_capped("""
        from call_table import PARAMS, kind, VALID_CALLS
        big = 10 ** 9
        for name, args, kwargs, _ in VALID_CALLS:
            if kwargs or len(args) != len(PARAMS[name]):
                continue
            patched = list(args)
            for i, (param, _) in enumerate(PARAMS[name]):
                if kind(name, param) == "U64" and not (name == "ZHISHU" and param == "method"):
                    patched[i] = big
                elif kind(name, param) == "U64ListList":
                    patched[i] = [[big, big + 1]] * len(patched[i])
            getattr(tc, name)(*patched)
        # codes near 2**64 give the results of small codes in the same order
        codes, small = [2 ** 64 - 1, 2 ** 63, 2 ** 64 - 1, 2 ** 63], [9, 8, 9, 8]
        dates = [1, 1, 2, 2]
        one = [1.0, 2.0, 3.0, 4.5]
        index = tc.ZHISHU(codes, dates, one, one, one, one, one, one, one, one)
        assert index == tc.ZHISHU(small, dates, one, one, one, one, one, one, one, one) and len(index[0]) == 1
        table = tc.BATCH(["ma"], [[2]], codes, dates, one, one, one, one, one)
        assert table[0] == [2 ** 63, 2 ** 63, 2 ** 64 - 1, 2 ** 64 - 1]
        """, room_mib=128)


# Freed series memory is kept for reuse by the thread that freed it. That
# must never stand between a capped process and the memory it asks for.
CACHING_IMPORTS = ("numpy", "tarvex", "threading")


def test_cached_memory_goes_with_its_thread():
    # each thread runs indicators on a million bars and fills its cache with
    # columns of 8 MB (16 of them, 128 MB); finished threads must not add up.
    # The bound is 1.5 caches: the C library may map an arena of its own for
    # a later thread now and then (about 96 MB seen under load), while three
    # caches left behind would add 384 MB
    pytest.importorskip("numpy")
    run_capped("""
    c = numpy.linspace(1.0, 2.0, 1_000_000)
    finished = []
    def indicators():
        for _ in range(2):
            tarvex.KDJ(c, c + 1.0, c - 1.0)
            tarvex.MACD(c)
        finished.append(True)
    sizes = []
    for _ in range(4):
        worker = threading.Thread(target=indicators)
        worker.start()
        worker.join()
        sizes.append(address_space())
    assert len(finished) == 4
    assert max(sizes[1:]) - sizes[1] < 192 * 2 ** 20, sizes
    """, imports=CACHING_IMPORTS)


def test_failed_call_keeps_nothing_for_reuse():
    # MACD of 9 million bars: its input and its three results, columns of
    # 72 MB, are more than the room holds; what it had allocated goes back to
    # the system
    pytest.importorskip("numpy")
    run_capped("""
    c = numpy.linspace(1.0, 2.0, 9_000_000)
    expect_memory_error(lambda: tarvex.MACD(c), None)
    block = bytearray(ROOM - 80 * 2 ** 20)
    del block
    """, imports=CACHING_IMPORTS)

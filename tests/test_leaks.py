"""Reference and memory leak check over every function of the module.

Each function is called thousands of times with the valid and failing
argument sets of the call table (binding, conversion and computation
errors), plus arguments whose conversion runs Python code. Afterwards the
reference count of every argument object (the containers, their elements and
the custom objects) must be exactly what it was, the number of memory blocks
the interpreter has allocated must not have grown, and on a debug
interpreter neither may the total reference count. A separate test checks
that the process's resident memory does not trend up over many rounds of
all functions together.
"""
import gc
import os
import sys

import pytest

import tarvex_core as tc
from call_table import FAILING_CALLS, NAMES, VALID_CALLS

# Rounds per function for the reference counts, and for the resident memory
# test over all functions; the environment may scale both.
ROUNDS = int(os.environ.get("TARVEX_LEAK_ROUNDS", "300"))
WARMUP = 40


class Boom(Exception):
    pass


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        if self.v is None:
            raise Boom("no float")
        return self.v


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        if self.v is None:
            raise Boom("no index")
        return self.v


class IterBreaks(list):
    def __iter__(self):
        yield from list.__iter__(self)
        raise Boom("iteration broke")


SERIES = [1.0, 2.5, -3.0, 4.0, 7.5, 1.25, 9.0, 2.0]
OBJ_SERIES = [FloatLike(1.5), IndexLike(3), 2.0, FloatLike(-0.5)]
BAD_ELEMENT = [1.0, FloatLike(None), 3.0]
TABLE = ([1, IndexLike(1), 2], [IndexLike(5), 6, 5], SERIES[:3], SERIES[:3], SERIES[:3], SERIES[:3], SERIES[:3])

# Calls whose arguments run Python code during conversion, so that every
# reference the boundary takes on the way (iterators, items, __index__
# results, the exceptions and their notes) is exercised on both outcomes.
EXTRA_CALLS = [
    ("MA", (OBJ_SERIES, IndexLike(2)), {}, None),
    ("MAX", (OBJ_SERIES, FloatLike(1.0)), {}, None),
    ("IF", (SERIES, OBJ_SERIES, FloatLike(0.5)), {}, None),
    ("POW", (SERIES, FloatLike(2.0)), {}, None),
    ("BATCH", (["ma"], [[IndexLike(2)]]) + TABLE, {}, None),
    ("ZHISHU", TABLE + (SERIES[:3], SERIES[:3], SERIES[:3], IndexLike(2), FloatLike(100.0)), {}, None),
    ("MA", (BAD_ELEMENT, 2), {}, Boom),
    ("MA", (IterBreaks(SERIES), 2), {}, Boom),
    ("MA", (SERIES, IndexLike(None)), {}, Boom),
    ("MA", (SERIES, IndexLike(-1)), {}, OverflowError),
    ("MAX", (SERIES, BAD_ELEMENT), {}, TypeError),
    ("MAX", (SERIES, FloatLike(None)), {}, TypeError),
    ("DMA", (SERIES, IterBreaks(SERIES)), {}, TypeError),
    ("POW", (SERIES, FloatLike(None)), {}, Boom),
    ("BATCH", (["ma"], [[IndexLike(None)]]) + TABLE, {}, Boom),
    ("BATCH", (["ma"], [IterBreaks([1])]) + TABLE, {}, Boom),
    ("BATCH_CROSS", (["ma"], [[2, 3]]) + TABLE + (FloatLike(1.0),), {}, TypeError),
    ("ZHISHU", (TABLE[0], [5, IndexLike(None), 5]) + TABLE[2:] + (SERIES[:3],) * 3, {}, Boom),
]

ALL_CALLS = VALID_CALLS + FAILING_CALLS + EXTRA_CALLS


def calls_of(name):
    valid = [c for c in ALL_CALLS if c[0] == name and c[3] is None]
    failing = [c for c in ALL_CALLS if c[0] == name and c[3] is not None]
    # about as many valid calls as failing ones in every round
    return valid * max(1, len(failing) // max(1, len(valid))) + failing


def run(calls, rounds):
    for _ in range(rounds):
        for name, args, kwargs, expected in calls:
            fn = getattr(tc, name)
            if expected is None:
                fn(*args, **kwargs)
            else:
                try:
                    fn(*args, **kwargs)
                except expected:
                    pass
                else:
                    raise AssertionError(f"{name}{args!r} did not raise {expected.__name__}")


# Objects shared with the rest of the interpreter, whose counts other code
# (this test included) moves too; the singletons have a test of their own.
SHARED = (type(None), bool, type(Ellipsis))


def is_shared(obj):
    # identifier-like strings are interned and used by names all over the interpreter ("abc" is a module)
    return (isinstance(obj, SHARED) or (type(obj) is int and -5 <= obj <= 256)
            or (type(obj) is str and obj.isidentifier()))


def argument_objects(calls):
    """Every object a call hands to the module: the arguments, their
    elements and the elements of nested lists, keyed by id."""
    found = {}
    pending = [(a, 0) for _, args, kwargs, _ in calls for a in list(args) + list(kwargs.values())]
    while pending:
        obj, depth = pending.pop()
        if id(obj) in found:
            continue
        found[id(obj)] = obj
        if isinstance(obj, (list, tuple)) and depth < 3:
            children = tuple(list.__iter__(obj)) if isinstance(obj, list) else obj
            pending.extend((item, depth + 1) for item in children)
        elif isinstance(obj, (FloatLike, IndexLike)):
            pending.append((obj.v, depth + 1))
    return found


def refcounts(objects):
    return {k: sys.getrefcount(o) for k, o in objects.items()}


def total_refcount():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def allocation_state():
    gc.collect()
    return sys.getallocatedblocks(), total_refcount()


BATCHES = 5


@pytest.fixture(scope="module", autouse=True)
def warm_up_every_path():
    """First calls fill the interpreter's caches (attribute lookups, type
    caches, memory pools) once; run every call a few times before measuring."""
    run(ALL_CALLS, WARMUP)


@pytest.mark.parametrize("name", NAMES)
def test_no_reference_or_block_leaks(name):
    calls = calls_of(name)
    assert any(c[3] is None for c in calls) and any(c[3] is not None for c in calls)
    objects = argument_objects(calls)
    run(calls, WARMUP)
    gc.collect()  # garbage of earlier tests may still hold argument objects
    counts_before = refcounts(objects)
    # Allocated blocks and the total reference count are measured over
    # batches: a leak grows every batch by at least one per round, while the
    # interpreter's own caches settle, so the quietest batch must be flat.
    # How long the caches keep filling in bursts differs from one process to
    # the next (for BATCH, anywhere from one batch to over five), so batches
    # go on until one is quiet: BATCHES at least, four times that at most.
    per_batch = ROUNDS // BATCHES
    tolerance = per_batch // 4
    growth = []

    def quietest(i):  # 0: allocated blocks, 1: total reference count
        return min(abs(g[i]) for g in growth)

    while len(growth) < 4 * BATCHES:
        blocks, total = allocation_state()
        run(calls, per_batch)
        blocks_after, total_after = allocation_state()
        growth.append((blocks_after - blocks, total_after - total))
        if len(growth) >= BATCHES and quietest(0) < tolerance and quietest(1) < tolerance:
            break
    counts_after = refcounts(objects)

    n_calls = len(growth) * per_batch * len(calls)
    moved = {k: counts_after[k] - counts_before[k] for k in objects if counts_after[k] != counts_before[k]}
    exact = {repr(objects[k])[:60]: d for k, d in moved.items() if not is_shared(objects[k])}
    assert not exact, f"argument reference counts moved over {n_calls} calls: {exact}"
    assert quietest(0) < tolerance, f"allocated blocks grew per batch of {per_batch} rounds: {growth}"
    assert quietest(1) < tolerance, f"total reference count moved per batch: {growth}"


def test_singleton_counts_flat():
    """None, True and False are returned by hooks and used by the boundary
    (add_note returns None): a missing release shows in their counts, on
    runtimes where they are not immortal."""
    objects = {repr(o): o for o in (None, True, False, Ellipsis)}
    run(ALL_CALLS, 3)
    gc.collect()
    before = refcounts(objects)
    run(ALL_CALLS, ROUNDS // 10)
    gc.collect()
    after = refcounts(objects)
    moved = {k: after[k] - before[k] for k in objects}
    assert all(abs(d) < ROUNDS // 20 for d in moved.values()), (
        f"reference counts moved over {ROUNDS // 10 * len(ALL_CALLS)} calls: {moved}")


def anonymous_resident_bytes():
    """Resident anonymous memory (heap, arenas), or None where the kernel
    does not report it. Pages of mapped files are left out: the kernel drops
    them and reads them back as other processes need memory."""
    try:
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("RssAnon:"))
    except (OSError, StopIteration):
        return None


# A native leak loses at least the smallest heap chunk (32 bytes) each time
# it happens; one in every eight calls doing so is growth of 4 bytes per call.
LEAK_BYTES_PER_CALL = 4


@pytest.mark.skipif(anonymous_resident_bytes() is None, reason="needs RssAnon in /proc/self/status")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine, so resident memory grows by design")
def test_resident_memory_does_not_trend_up():
    """Resident memory over many rounds of all functions together grows by
    less than a leak would in most batches of rounds: a leak grows it in
    every batch, while one-off growth (a new arena, a huge page) or a
    shrink (pages swapped out) moves only some batches."""
    calls = [c for name in NAMES for c in calls_of(name)]
    run(calls, 50)
    gc.collect()
    batches = 11  # an odd count has a middle step
    per_batch = max(ROUNDS, 300) // batches
    samples = [anonymous_resident_bytes()]
    for _ in range(batches):
        run(calls, per_batch)
        gc.collect()
        samples.append(anonymous_resident_bytes())
    steps = sorted(b - a for a, b in zip(samples, samples[1:]))
    bound = LEAK_BYTES_PER_CALL * per_batch * len(calls)
    print(f"{batches} batches of {per_batch * len(calls)} calls: resident anonymous memory "
          f"{samples[0] / 2**20:.1f} MiB after warm-up, steps {[d // 1024 for d in steps]} KiB")
    assert steps[len(steps) // 2] < bound, f"median growth per batch {steps[len(steps) // 2]} bytes, bound {bound}"

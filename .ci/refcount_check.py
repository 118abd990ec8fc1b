"""Reference-leak hunt on a debug interpreter.

Runs every argument set of tests/call_table.py (valid and failing calls of all
74 functions) in repeated rounds, one function at a time, and compares the
interpreter's total reference count (sys.gettotalrefcount, debug builds only)
before and after each round. As in CPython's own leak hunt, a function leaks
when every measured round grows the count: one missing Py_DECREF on any path
the table reaches adds at least one reference per round, whether or not the
object is shared. (Allocated memory blocks are reported, not judged: the
interpreter's free lists and specialisation caches keep filling for hundreds
of rounds, and every leaked object shows in the reference count anyway.) Every call must also end as the table says (result or
exception type), so the paths measured are the paths intended.

Usage: python refcount_check.py [ROUNDS]    (exit status 1 on any leak)
"""
import gc
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import tarvex_core  # noqa: E402
from call_table import FAILING_CALLS, NAMES, VALID_CALLS  # noqa: E402

WARMUP_ROUNDS = 2


def run_round(calls, mismatches):
    for name, args, kwargs, expected in calls:
        func = getattr(tarvex_core, name)
        try:
            func(*args, **kwargs)
        except Exception as e:  # the type is checked below
            if type(e) is not expected:
                mismatches.append(f"{name}: expected {expected}, got {type(e).__name__}: {e}")
        else:
            if expected is not None:
                mismatches.append(f"{name}: expected {expected.__name__}, the call succeeded")


def hunt(calls, rounds, mismatches):
    """Reference deltas of each measured round, read as CPython's own leak
    hunt reads them: after a collection, with nothing of the measurement
    itself (no new int, no growing list) allocated in between."""
    deltas = [0] * rounds
    before = 0
    for i in range(-WARMUP_ROUNDS, rounds):
        run_round(calls, mismatches)
        gc.collect()
        after = sys.gettotalrefcount()
        if i >= 0:
            deltas[i] = after - before
        before = after
    return deltas


def leaks(deltas):
    """Growth in every measured round; a one-off cache fill is not a leak."""
    return all(d >= 1 for d in deltas)


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refcount_check needs a debug build of CPython (sys.gettotalrefcount)")
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 4
    by_name = {name: [] for name in NAMES}
    for call in VALID_CALLS + FAILING_CALLS:
        by_name[call[0]].append(call)

    failures, mismatches = [], []
    total_calls = 0
    gc.collect()
    start_refs, start_blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for name in NAMES:
        calls = by_name[name]
        ref_deltas = hunt(calls, rounds, mismatches)
        total_calls += len(calls) * (WARMUP_ROUNDS + rounds)
        if leaks(ref_deltas):
            failures.append(f"{name}: reference deltas {ref_deltas} over rounds of {len(calls)} calls")
    gc.collect()
    end_refs, end_blocks = sys.gettotalrefcount(), sys.getallocatedblocks()

    print(f"refcount check on {sys.version.split()[0]} (debug): {len(NAMES)} functions, "
          f"{len(VALID_CALLS)} valid and {len(FAILING_CALLS)} failing argument sets, {total_calls} calls, "
          f"{rounds} measured rounds each")
    print(f"total reference count {start_refs} -> {end_refs}, allocated blocks {start_blocks} -> {end_blocks}")
    for line in mismatches[:20]:
        print("unexpected outcome:", line)
    for line in failures:
        print("LEAK:", line)
    if failures or mismatches:
        sys.exit(1)
    print("no reference growth")


if __name__ == "__main__":
    main()

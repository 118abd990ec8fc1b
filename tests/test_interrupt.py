"""Ctrl-C stops a long computation: SIGINT reaches a child process while it
is inside a long tarvex_core call (MA with a wide window, and BATCH, whose
securities are spread over worker threads while the caller builds the
result lists), and the call raises KeyboardInterrupt long before it would
have finished."""
import signal
import subprocess
import sys
import time

import pytest

# A profiler prints "started" as the call begins. Python code runs only in
# the profiler before and after the call, so the SIGINT handler, which
# raises KeyboardInterrupt, tells where it ran: "inside" the call (from the
# computation's interruption points), or in the profiler's "c_call" event
# (the signal came before the call began) or "c_return" event (the call
# could not be interrupted and ran to its end).
CHILD = r"""
import signal, sys
import tarvex_core as tc

s = [float(i % 1000) for i in range(1_000_000)]
function, args = {
    "MA": (tc.MA, (s, 100_000)),
    # two securities of 500,000 bars: the caller and a worker each take one
    "BATCH": (tc.BATCH, (["ma"], [[100_000]], [i % 2 for i in range(1_000_000)], list(range(1_000_000)),
                         s, s, s, s, s)),
    # 300 securities, 40 averages each: most of the call builds 12 million
    # list items, while workers compute the next securities
    "BATCH lists": (tc.BATCH, (["ma"], [list(range(1, 41))], [i % 300 for i in range(300_000)],
                               list(range(300_000)), *[s[:300_000]] * 5)),
}[sys.argv[1]]
where = None

def profile(frame, event, arg):
    if event == "c_call" and arg is function:
        print("started", flush=True)

def on_sigint(signum, frame):
    global where
    where = frame.f_locals["event"] if frame.f_code is profile.__code__ else "inside"
    raise KeyboardInterrupt

signal.signal(signal.SIGINT, on_sigint)
sys.setprofile(profile)
try:
    function(*args)
except KeyboardInterrupt:
    sys.setprofile(None)
    assert tc.MA([1.0, 3.0], 2)[1] == 2.0  # the module still works
    print(where, flush=True)
"""


def interrupt_child(function):
    """Where the child's handler ran, and the time from SIGINT to its exit."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, function], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "started\n"
        time.sleep(0.05)  # lets the child enter the call; a signal before it is retried
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)  # a hang guard, not a deadline
        return out.strip(), time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("function", ["MA", "BATCH", "BATCH lists"])
def test_sigint_interrupts_a_long_call(function):
    for _ in range(10):
        where, latency = interrupt_child(function)
        if where != "c_call":
            break
    print(f"exited {latency * 1e3:.1f} ms after SIGINT")
    assert where == "inside"

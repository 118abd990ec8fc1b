"""Memory the array module keeps for reuse (the blocks of freed results)
goes back to the system once it has been unused for a while, also when the
process makes no further call; a whole-market call of the core module holds
little beside the lists it returns."""
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the resident size from /proc"),
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="AddressSanitizer keeps freed memory in quarantine, so resident memory stays"),
]

CHILD = textwrap.dedent("""
    import time
    import numpy as np
    import tarvex

    def resident_mib():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) // 1024 for line in f if line.startswith("VmRSS:"))

    x = np.ones(20_000_000)
    results = [tarvex.MA(x, 5), tarvex.EMA(x, 5)]  # 320 MB
    holding = resident_mib()
    del results
    start = time.monotonic()
    while resident_mib() > holding - 250 and time.monotonic() - start < 60:
        time.sleep(0.25)
    print(round(time.monotonic() - start, 1), holding, resident_mib())
""")


def test_unused_result_memory_goes_back_without_another_call():
    seconds, holding, after = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                                             check=True).stdout.split()
    print(f"{holding} MiB while holding the results, {after} MiB {seconds} s after freeing them")
    assert int(after) <= int(holding) - 250 and float(seconds) < 30


TABLE_CHILD = textwrap.dedent("""
    import sys
    import numpy as np
    import tarvex_core as tc

    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) // 1024 for line in f if line.startswith(key))

    rng = np.random.default_rng(1)
    code = np.repeat(np.arange(600), 1000)
    order = rng.permutation(code.size) if sys.argv[1] == "shuffled" else np.arange(code.size)
    close = (10 + rng.random(code.size))[order].tolist()
    table = [code[order].tolist(), np.tile(np.arange(1000), 600)[order].tolist()] + [close] * 5
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident size starts again from here
    before = status("VmRSS:")
    result = tc.BATCH(["macd", "kdj", "boll", "ma"], [[], [], [], [5, 10, 20, 60]], *table)
    print(status("VmHWM:") - status("VmRSS:"), status("VmRSS:") - before)
""")


@pytest.mark.parametrize("layout", ["ordered", "shuffled"])
def test_a_whole_market_call_holds_little_beside_its_lists(layout):
    # 600,000 rows of 15 columns: about 300 MB of lists. Holding the
    # converted input or a native table beside them would take 35 to 70 MB.
    extra, lists = map(int, subprocess.run([sys.executable, "-c", TABLE_CHILD, layout], capture_output=True,
                                           text=True, check=True).stdout.split())
    print(f"peak {extra} MiB above the {lists} MiB the call leaves resident")
    assert extra < 0.05 * lists


LIMIT_CHILD = textwrap.dedent("""
    import threading
    import numpy as np
    import tarvex

    def resident_mib():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) // 1024 for line in f if line.startswith("VmRSS:"))

    x = np.ones(262_144 * 12)
    computed, done = threading.Barrier(3), threading.Event()

    def results_of_many_sizes():  # blocks of 2 to 24 MiB, 156 MiB in all, freed
        for k in range(1, 13):
            tarvex.MA(x[:262_144 * k], 5)
        computed.wait()
        done.wait()  # the thread, and with it its cache, stays

    threads = [threading.Thread(target=results_of_many_sizes) for _ in range(2)]
    before = resident_mib()
    for thread in threads:
        thread.start()
    computed.wait()
    print(before, resident_mib())
    done.set()
""")


def test_the_cache_keeps_one_limit_for_the_whole_process():
    env = dict(os.environ, TARVEX_CACHE_BYTES=str(32 * 2**20))
    before, after = map(int, subprocess.run([sys.executable, "-c", LIMIT_CHILD], capture_output=True, text=True,
                                            check=True, env=env).stdout.split())
    assert after - before < 32 + 32, (before, after)  # two threads' caches would keep 312 MiB

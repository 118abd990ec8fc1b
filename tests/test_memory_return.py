"""Memory the array module keeps for reuse (the blocks of freed results)
goes back to the system once it has been unused for a while, also when the
process makes no further call."""
import os
import subprocess
import sys
import textwrap

import pytest

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


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the resident size from /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine, so resident memory stays")
def test_unused_result_memory_goes_back_without_another_call():
    seconds, holding, after = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                                             check=True).stdout.split()
    print(f"{holding} MiB while holding the results, {after} MiB {seconds} s after freeing them")
    assert int(after) <= int(holding) - 250 and float(seconds) < 30

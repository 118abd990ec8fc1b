"""What the one abi3 wheel promises on every runtime it is installed on: a
stable-ABI extension that exports only its init function, leaves reference
counting to the interpreter, and marks failed arguments with a note where the
runtime has notes and leaves the error untouched where it has none."""
import os
import shutil
import subprocess
import sys

import pytest

import tarvex_core as tc

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF shared objects on Linux only")


def dynamic_symbols(*flags):
    if shutil.which("nm") is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run(["nm", "-D", *flags, tc.__file__], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


@linux_only
def test_one_stable_abi_file():
    assert os.path.basename(tc.__file__) == "tarvex_core.abi3.so"


@linux_only
def test_exports_only_the_init_function():
    assert dynamic_symbols("--defined-only") == {"PyInit_tarvex_core"}


@linux_only
def test_reference_counts_go_through_the_interpreter():
    # An inline Py_DECREF of the 3.9 limited API imports _Py_Dealloc and
    # changes counts behind a debug interpreter's back (its total reference
    # count then drifts on every call); Py_IncRef/Py_DecRef keep it exact.
    imported = dynamic_symbols("--undefined-only")
    assert "_Py_Dealloc" not in imported
    assert {"Py_IncRef", "Py_DecRef"} <= imported


class Unconvertible:
    def __float__(self):
        raise RuntimeError("no float today")


@pytest.mark.parametrize("name, args, exc, param", [
    ("MA", ("abc", 3), TypeError, "s"),
    ("MA", ([1.0], -1), OverflowError, "n"),
    ("RD", ([1.0], 2**32), OverflowError, "d"),
    ("MAX", ([1.0], "a"), TypeError, "s2"),
    ("POW", ([1.0], Unconvertible()), RuntimeError, "n"),
    ("BATCH", (["ma"], [[-1]], [], [], [], [], [], [], []), OverflowError, "params_in"),
    ("BATCH_CROSS", (["ma"], [], [], [], [], [], [], [], [], 1), TypeError, "keep_values"),
])
def test_argument_note_by_runtime(name, args, exc, param):
    with pytest.raises(exc) as info:
        getattr(tc, name)(*args)
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"while processing '{param}'"]
    else:
        # No add_note: the error goes out as raised, without a note and
        # without the failed lookup chained onto it.
        assert not hasattr(info.value, "__notes__")
    assert info.value.__context__ is None

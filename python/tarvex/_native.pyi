"""Types of the array module (the tarvex package's native layer)."""
from typing import Any, Dict, List, Optional, Tuple

# A result column handed over without a copy: an object with a read-only
# __array_interface__, which numpy.asarray makes the array from; it stays
# the array's base and frees the memory with the last array over it.
_Block = Any

def call(index: int, args: Tuple[Any, ...], starts: Optional[bytes], threads: int, /) -> Tuple[_Block, ...]: ...
def registry() -> Tuple[Dict[str, Any], ...]: ...
def tables() -> Tuple[Dict[str, Any], ...]: ...
def default_threads() -> int: ...
# The columns are read in place: anything with the buffer interface of a
# one-dimensional array of real numbers; codes and dates come as contiguous
# NumPy arrays of uint64 and int64 values.
def batch(cross: bool, keep_values: bool, names: List[str], params: List[List[int]], code: Any, date: Any,
          open: Any, high: Any, low: Any, close: Any, volume: Any, threads: int, /
          ) -> Tuple[_Block, _Block, Tuple[str, ...], Tuple[_Block, ...]]: ...
def zhishu(code: Any, date: Any, open: Any, high: Any, low: Any, close: Any, volume: Any, amount: Any,
           float_mv: Any, total_mv: Any, method: int, base: float, /
           ) -> Tuple[_Block, _Block, _Block, _Block, _Block, _Block, _Block, _Block, _Block]: ...

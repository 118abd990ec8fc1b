"""The series functions and indicators as module attributes, for the
package's star import; `_exports.pyi` (generated from the registry) gives
type checkers their signatures."""
from ._functions import EXPORTED

globals().update(EXPORTED)

__all__ = list(EXPORTED)

// Period bars and adjusted prices of whole markets, over columns read in
// place.
#pragma once

#include <Python.h>

namespace tarvex::native {

// resample(code, stamp, minutes, period, open, high, low, close, volume,
// amount, threads) -> (code, stamp, open, high, low, close, volume, amount,
// partial); stamps are days, or minutes when `minutes`; a column given as
// None (absent) comes back empty.
PyObject* resample(PyObject* self, PyObject* args);

// adjust(code, stamp, open, high, low, close, volume, events, factor, per,
// anchor, at, scale_volume, threads, ticks_per_day) -> (open, high, low, close, volume,
// unmatched event rows), a column not given or not scaled empty; events
// is None or (code, stamp, cash, bonus,
// rights, rights_price), factor None or a column; anchor 0 latest,
// 1 earliest, 2 at the stamp `at`.
PyObject* adjust(PyObject* self, PyObject* args);

}  // namespace tarvex::native

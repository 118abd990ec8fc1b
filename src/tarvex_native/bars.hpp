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

// period_keys(stamp, minutes, period) -> int64 keys: each stamp's period
// (days, or minutes when `minutes`), ascending with the stamps.
PyObject* period_keys(PyObject* self, PyObject* args);

// partial_bars(key, starts, open, high, low, close, volume, amount,
// threads) -> (open, high, low, close, volume, amount, commit): each row's
// period bar as it stands on that row, `key` each row's period, over
// segments given as the bytes of int64 starts, each security's rows by
// stamp; commit 1.0 on the last row of a period in its segment. A column
// given as None comes back empty.
PyObject* partial_bars(PyObject* self, PyObject* args);

}  // namespace tarvex::native

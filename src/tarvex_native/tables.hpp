// Whole-market tables of the array module: the batch engine on the thread
// pool and the composite index, over columns read in place.
#pragma once

#include <Python.h>

namespace tarvex::native {

// batch(cross, keep_values, names, params, code, date, open, high, low,
// close, volume, threads, sources) -> (code, date, fields, columns, rows,
// repeats); names come lower-cased, code and date as packed uint64 and int64
// bytes. With `sources`, `rows` gives each row's input row (None
// otherwise); `repeats` counts the rows repeating the code and date of the
// row before them.
PyObject* batch(PyObject* self, PyObject* args);

// zhishu(code, date, open, high, low, close, volume, amount, float_mv,
// total_mv, method, base) -> (date, open, high, low, close, change, volume,
// amount, count)
PyObject* zhishu(PyObject* self, PyObject* args);

// order(code, date, columns) -> (rows, starts, repeats, dates, taken): the
// rows by code, then date (None: by code alone), each code's first position
// among them, how many rows repeat the code and date of the row before
// them, the date of each of the rows in their order (None without dates),
// and each of `columns` (a tuple of contiguous arrays of 8-byte items, read
// as int64) in that order. Keys are int64.
PyObject* order(PyObject* self, PyObject* args);

// text_ids(chunks) -> (ids, firsts): each text's rank among the distinct
// texts of Arrow string chunks, in byte order, and each distinct text's
// first row. A chunk is (offsets as int32 or int64 or string views as
// uint8, a tuple of its byte buffers as uint8, the first text used, the
// count used).
PyObject* text_ids(PyObject* self, PyObject* args);

// text_keys(chunks, span) -> memory or None: each text's key in byte order
// (see text_codes.hpp), or None when the keys would span more than `span`.
PyObject* text_keys(PyObject* self, PyObject* args);

// first_rows(keys, span) -> memory: for each key value below `span` the
// first row holding it, -1 where none does.
PyObject* first_rows(PyObject* self, PyObject* args);

// repeat_texts(chunks, rows, counts) -> (offsets, bytes): the texts at
// `rows` of Arrow string chunks, the k-th repeated counts[k] times, as the
// buffers of an Arrow large-string array.
PyObject* repeat_texts(PyObject* self, PyObject* args);

// str_texts(objects) -> (offsets, bytes) or None: the strs of a NumPy
// object array as the buffers of an Arrow large-string array (UTF-8, lone
// surrogates in their three-byte form), which the functions above read;
// None when an item is not an exact str.
PyObject* str_texts(PyObject* self, PyObject* args);

// take(rows, columns, threads) -> tuple of memory: each column (a tuple of
// contiguous arrays of 8-byte items, read as int64) at `rows`, gathered on
// the pool.
PyObject* take(PyObject* self, PyObject* args);

}  // namespace tarvex::native

#include "tarvex_native/bars.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bars/adjust.hpp"
#include "bars/partial.hpp"
#include "bars/periods.hpp"
#include "tarvex_native/boundary.hpp"

namespace tarvex::native {
namespace {

py::IntegerColumn key_column(PyObject* obj, py::ItemType type, const char* what) {
  std::optional<py::IntegerColumn> column = py::IntegerColumn::read(obj, type);
  if (!column) raise(PyExc_TypeError, std::string(what) + " must be a contiguous array of 64-bit integers");
  return std::move(*column);
}

// Columns that may be None: an empty view stands for a missing one.
struct OptionalColumns {
  std::vector<std::optional<ArrayInput>> inputs;

  SeriesView add(PyObject* obj, const char* what) {
    if (obj == Py_None) {
      inputs.emplace_back();
      return {};
    }
    inputs.emplace_back(read_column(obj, what));
    return inputs.back()->view();
  }
};

// The bar columns open, high, low, close, volume and amount, from six
// arguments on from `first`; the close is required, the others may be None
// (an empty view).
struct BarColumns {
  OptionalColumns columns;
  SeriesView open, high, low;
  ArrayInput close;
  SeriesView volume, amount;

  BarColumns(PyObject* args, Py_ssize_t first)
      : open(columns.add(PyTuple_GetItem(args, first), "open")),
        high(columns.add(PyTuple_GetItem(args, first + 1), "high")),
        low(columns.add(PyTuple_GetItem(args, first + 2), "low")),
        close(read_column(PyTuple_GetItem(args, first + 3), "close")),
        volume(columns.add(PyTuple_GetItem(args, first + 4), "volume")),
        amount(columns.add(PyTuple_GetItem(args, first + 5), "amount")) {}
};

std::int64_t to_i64(PyObject* obj) {
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) throw ErrorSet{};
  return v;
}

}  // namespace

PyObject* resample(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 11) raise(PyExc_TypeError, "resample() takes 11 arguments");
    const auto arg = [&](Py_ssize_t i) { return PyTuple_GetItem(args, i); };
    const py::IntegerColumn code = key_column(arg(0), py::ItemType::U64, "code");
    const py::IntegerColumn stamp = key_column(arg(1), py::ItemType::I64, "stamp");
    const Stamp unit = PyObject_IsTrue(arg(2)) == 1 ? Stamp::kMinute : Stamp::kDay;
    const std::uint64_t period = to_u64(arg(3));
    if (period > static_cast<std::uint64_t>(Period::kDay)) raise(PyExc_ValueError, "no such period");
    const BarColumns bar(args, 4);
    const std::size_t threads = static_cast<std::size_t>(to_u64(arg(10)));
    const ResampleInput in{code.view<std::uint64_t>(), stamp.view<std::int64_t>(), bar.close.view(), bar.open,
                           bar.high, bar.low, bar.volume, bar.amount};
    PeriodBars bars;
    {
      const PeriodRule rule(static_cast<Period>(period), unit);
      Unlocked unlocked;
      bars = tarvex::resample(in, rule, on_pool(threads, [&] { return unlocked.poll(); }));
    }
    std::vector<Ref> items;
    items.push_back(hand_over(std::move(bars.codes)));
    items.push_back(hand_over(std::move(bars.stamps)));
    items.push_back(hand_over(std::move(bars.open)));
    items.push_back(hand_over(std::move(bars.high)));
    items.push_back(hand_over(std::move(bars.low)));
    items.push_back(hand_over(std::move(bars.close)));
    items.push_back(hand_over(std::move(bars.volume)));
    items.push_back(hand_over(std::move(bars.amount)));
    items.push_back(hand_over(std::move(bars.partial)));
    return tuple_of(std::move(items)).release();
  });
}

PyObject* adjust(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 15) raise(PyExc_TypeError, "adjust() takes 15 arguments");
    const auto arg = [&](Py_ssize_t i) { return PyTuple_GetItem(args, i); };
    const py::IntegerColumn code = key_column(arg(0), py::ItemType::U64, "code");
    const py::IntegerColumn stamp = key_column(arg(1), py::ItemType::I64, "stamp");
    OptionalColumns columns;
    const SeriesView open = columns.add(arg(2), "open"), high = columns.add(arg(3), "high"),
                     low = columns.add(arg(4), "low");
    const ArrayInput close = read_column(arg(5), "close");
    const SeriesView volume = columns.add(arg(6), "volume");
    const AdjustBars bars{code.view<std::uint64_t>(), stamp.view<std::int64_t>(), open, high, low, close.view(),
                          volume, to_i64(arg(14))};
    if (bars.day < 1) raise(PyExc_ValueError, "a day holds at least one tick");
    PyObject* events = arg(7);
    PyObject* factor = arg(8);
    if ((events == Py_None) == (factor == Py_None)) raise(PyExc_TypeError, "adjust() takes events or a factor");
    const double per = to_double(arg(9));
    const std::uint64_t anchor_kind = to_u64(arg(10));
    if (anchor_kind > AdjustAnchor::kAt) raise(PyExc_ValueError, "no such anchor");
    const AdjustAnchor anchor{static_cast<AdjustAnchor::Kind>(anchor_kind), to_i64(arg(11))};
    const bool scale_volume = PyObject_IsTrue(arg(12)) == 1;
    const std::size_t threads = static_cast<std::size_t>(to_u64(arg(13)));

    Adjusted out;
    if (events != Py_None) {
      if (!PyTuple_Check(events) || PyTuple_Size(events) != 6) raise(PyExc_TypeError, "events: a tuple of 6 columns");
      const py::IntegerColumn ev_code = key_column(PyTuple_GetItem(events, 0), py::ItemType::U64, "event code");
      const py::IntegerColumn ev_stamp = key_column(PyTuple_GetItem(events, 1), py::ItemType::I64, "event stamp");
      const SeriesView cash = columns.add(PyTuple_GetItem(events, 2), "cash"),
                       bonus = columns.add(PyTuple_GetItem(events, 3), "bonus"),
                       rights = columns.add(PyTuple_GetItem(events, 4), "rights"),
                       rights_price = columns.add(PyTuple_GetItem(events, 5), "rights_price");
      const AdjustEvents ev{ev_code.view<std::uint64_t>(), ev_stamp.view<std::int64_t>(), cash, bonus, rights,
                            rights_price, per};
      Unlocked unlocked;
      out = adjust_by_events(bars, ev, anchor, scale_volume, on_pool(threads, [&] { return unlocked.poll(); }));
    } else {
      const ArrayInput factors = read_column(factor, "factor");
      Unlocked unlocked;
      out = adjust_by_factor(bars, factors.view(), anchor, scale_volume,
                             on_pool(threads, [&] { return unlocked.poll(); }));
    }
    std::vector<Ref> items;
    items.push_back(hand_over(std::move(out.open)));
    items.push_back(hand_over(std::move(out.high)));
    items.push_back(hand_over(std::move(out.low)));
    items.push_back(hand_over(std::move(out.close)));
    items.push_back(hand_over(std::move(out.volume)));
    std::vector<Ref> unmatched;
    for (std::size_t row : out.unmatched) unmatched.push_back(Ref::check(PyLong_FromSize_t(row)));
    items.push_back(tuple_of(std::move(unmatched)));
    return tuple_of(std::move(items)).release();
  });
}

PyObject* period_keys(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 3) raise(PyExc_TypeError, "period_keys() takes 3 arguments");
    const py::IntegerColumn stamp = key_column(PyTuple_GetItem(args, 0), py::ItemType::I64, "stamp");
    const Stamp unit = PyObject_IsTrue(PyTuple_GetItem(args, 1)) == 1 ? Stamp::kMinute : Stamp::kDay;
    const std::uint64_t period = to_u64(PyTuple_GetItem(args, 2));
    if (period > static_cast<std::uint64_t>(Period::kDay)) raise(PyExc_ValueError, "no such period");
    const PeriodRule rule(static_cast<Period>(period), unit);
    return hand_over(tarvex::period_keys(stamp.view<std::int64_t>(), rule)).release();
  });
}

PyObject* partial_bars(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (PyTuple_Size(args) != 9) raise(PyExc_TypeError, "partial_bars() takes 9 arguments");
    const auto arg = [&](Py_ssize_t i) { return PyTuple_GetItem(args, i); };
    const py::IntegerColumn key = key_column(arg(0), py::ItemType::I64, "key");
    const std::vector<std::size_t> starts = read_starts(arg(1), key.view<std::int64_t>().size());
    const BarColumns bar(args, 2);
    const std::size_t threads = static_cast<std::size_t>(to_u64(arg(8)));
    const PartialInput in{key.view<std::int64_t>(), starts, bar.open, bar.high, bar.low, bar.close.view(),
                          bar.volume, bar.amount};
    PartialBars bars;
    {
      Unlocked unlocked;
      bars = tarvex::partial_bars(in, on_pool(threads, [&] { return unlocked.poll(); }));
    }
    std::vector<Ref> items;
    for (Series* s : {&bars.open, &bars.high, &bars.low, &bars.close, &bars.volume, &bars.amount, &bars.commit}) {
      items.push_back(hand_over(std::move(*s)));
    }
    return tuple_of(std::move(items)).release();
  });
}

}  // namespace tarvex::native

#include "registry/provisional.hpp"

#include <string>

#include "runtime/interrupt.hpp"
#include "runtime/provisional.hpp"
#include "series/kernels.hpp"

namespace tarvex::registry {

namespace {

SeriesList generic_provisional(const Function& f, const std::vector<Arg>& args, const std::uint8_t* commit,
                               std::size_t rows) {
  // The series arguments truncated at the current row: the committed rows, then it.
  std::vector<std::size_t> series;
  for (std::size_t j = 0; j < args.size(); ++j) {
    if (args[j].is_series) series.push_back(j);
  }
  std::vector<Series> history(series.size());
  for (Series& h : history) h.reserve(rows);
  std::vector<Arg> truncated = args;
  SeriesList out;
  for (std::size_t t = 0; t < rows; ++t) {
    for (std::size_t j = 0; j < series.size(); ++j) {
      history[j].push_back(args[series[j]].series[t]);
      truncated[series[j]].series = SeriesView(history[j]);
    }
    const SeriesList values = f.invoke(truncated);
    if (out.empty()) {
      for (std::size_t k = 0; k < values.size(); ++k) out.emplace_back(rows);
    }
    for (std::size_t k = 0; k < values.size(); ++k) out[k][t] = values[k].empty() ? kNaN : values[k].back();
    if (commit[t] == 0) {
      for (Series& h : history) h.pop_back();
    }
    interruption_point(history.empty() ? 1 : history[0].size());
  }
  return out;
}

}  // namespace

SeriesList invoke_provisional(const Function& f, const std::vector<Arg>& args, const std::uint8_t* commit,
                              std::size_t rows, Way way) {
  if (f.shape == Shape::Number) {
    throw ValueError(std::string(f.name) + " gives one number per security and has no value per period");
  }
  if (way == Way::kOwn && !f.provisional) throw ValueError(std::string(f.name) + " has no provisional form");
  if (rows == 0) return f.invoke(args);
  if (f.provisional && way != Way::kGeneric) {
    try {
      const ProvisionalScope scope(commit, rows);
      return f.invoke(args);
    } catch (const NoProvisionalForm&) {
      // A primitive of this call has no provisional form: the generic way below.
      if (way == Way::kOwn) throw ValueError(std::string(f.name) + " met a step without a provisional form");
    }
  }
  return generic_provisional(f, args, commit, rows);
}

}  // namespace tarvex::registry

#include "batch/registry.hpp"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "indicators/indicators.hpp"

namespace tarvex {

namespace {

using registry::ArgKind;
using registry::BatchRole;
using registry::Function;

// The group column a series parameter reads: the bar column it names, the
// close for the one input series "s" of a single-series indicator.
PriceColumn column_of(const Function& f, const char* param) {
  const char* named = registry::bar_column(param);
  const std::string column = named != nullptr ? named : std::string(param) == "s" ? "close" : "";
  for (std::size_t c = 0; c < kPriceColumns; ++c) {
    if (column == kPriceColumnNames[c]) return static_cast<PriceColumn>(c);
  }
  throw std::logic_error(std::string(f.name) + ": no bar column for parameter " + param);
}

// The registry entry as a batch indicator: series parameters read the bar
// columns they are named after, the others take p0, p1, ... in order, with
// the batch defaults where the entry gives them and the function's own
// defaults otherwise.
Indicator indicator_of(const Function& f) {
  Indicator ind{};
  ind.function = &f;
  ind.name = f.name;
  std::transform(ind.name.begin(), ind.name.end(), ind.name.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  ind.expanding = f.batch.role == BatchRole::Expanding;
  if (!ind.expanding) ind.fields = f.fields();
  ind.divisor = f.batch.divisor;
  std::size_t slot = 0;
  for (std::size_t i = 0; i < f.kinds.size(); ++i) {
    const ArgKind kind = f.kinds[i];
    if (kind == ArgKind::Digits) {
      ind.sources.push_back(Source{Source::From::Rounding, kClose, 0, kind});
    } else if (kind == ArgKind::Series) {
      ind.sources.push_back(Source{Source::From::Column, column_of(f, f.params[i].name), 0, kind});
    } else {
      const char* own = f.params[i].default_text;
      if (slot < f.batch.defaults.size()) {
        ind.defaults.push_back(f.batch.defaults[slot]);
      } else if (own != nullptr) {
        ind.defaults.push_back(static_cast<std::uint64_t>(std::strtod(own, nullptr)));
      } else {
        throw std::logic_error(std::string(f.name) + ": a batch parameter without a default");
      }
      ind.sources.push_back(Source{Source::From::Param, kClose, slot++, kind});
    }
  }
  return ind;
}

std::vector<Indicator> build_indicators() {
  std::vector<Indicator> out;
  for (const Function& f : registry::functions()) {
    if (f.batch.role != BatchRole::None) out.push_back(indicator_of(f));
  }
  return out;
}

const Indicator* find_indicator(const std::string& name) {
  const std::vector<Indicator>& all = indicators();
  auto it = std::find_if(all.begin(), all.end(), [&name](const Indicator& ind) { return name == ind.name; });
  return it == all.end() ? nullptr : &*it;
}

std::vector<std::string> fields_of(const Indicator& ind, const ParamSet& p) {
  if (ind.expanding) return {ind.name + std::to_string(p[0])};
  return ind.fields;
}

// The parameter sets one name and its list give: one per value for an
// expanding indicator with two or more values, otherwise exactly one.
std::vector<ParamSet> param_sets(const Indicator& ind, const std::vector<std::uint64_t>& values) {
  std::vector<ParamSet> sets;
  if (ind.expanding && values.size() >= 2) {
    for (std::uint64_t x : values) {
      ParamSet p = ind.defaults;
      if (x != 0) p[0] = x;
      sets.push_back(p);
    }
    return sets;
  }
  ParamSet p = ind.defaults;
  for (std::size_t k = 0; k < p.size() && k < values.size(); ++k) {
    if (values[k] != 0) p[k] = values[k];
  }
  sets.push_back(p);
  return sets;
}

}  // namespace

const std::vector<Indicator>& indicators() {
  static const std::vector<Indicator> all = build_indicators();
  return all;
}

std::vector<Task> build_tasks(const std::vector<std::string>& names,
                              const std::vector<std::vector<std::uint64_t>>& params) {
  static const std::vector<std::uint64_t> kNoValues;
  std::vector<Task> tasks;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::vector<std::uint64_t>& values = i < params.size() ? params[i] : kNoValues;
    const Indicator* ind = find_indicator(names[i]);
    if (ind == nullptr) throw ValueError("unsupported indicator: " + names[i]);
    for (const ParamSet& p : param_sets(*ind, values)) {
      tasks.push_back(Task{ind, i, p, fields_of(*ind, p)});
    }
  }
  return tasks;
}

ColumnSet columns_read(const std::vector<Task>& tasks) {
  ColumnSet columns = 0;
  for (const Task& t : tasks) {
    for (const Source& s : t.indicator->sources) {
      if (s.from == Source::From::Column) columns |= ColumnSet{1} << s.column;
    }
  }
  return columns;
}

std::vector<std::string> field_names(const std::vector<Task>& tasks) {
  std::vector<std::string> out;
  for (const Task& t : tasks) out.insert(out.end(), t.fields.begin(), t.fields.end());
  return out;
}

void compute_task(const Task& task, const GroupSeries& g, SeriesList& out) {
  const Indicator& ind = *task.indicator;
  std::vector<registry::Arg> args(ind.sources.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const Source& s = ind.sources[i];
    registry::Arg& a = args[i];
    if (s.from == Source::From::Column) {
      a.is_series = true;
      a.series = g.prices[s.column];
    } else if (s.from == Source::From::Rounding) {
      a.integer = Digits{}.places;
    } else if (s.kind == ArgKind::U64 || s.kind == ArgKind::U32) {
      a.integer = task.params[s.slot];
    } else {
      const double value = static_cast<double>(task.params[s.slot]);
      a.number = ind.divisor == 1 ? value : value / static_cast<double>(ind.divisor);
    }
  }
  SeriesList result = ind.function->invoke(args);
  for (Series& s : result) out.push_back(std::move(s));
}

}  // namespace tarvex

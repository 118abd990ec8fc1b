// BATCH and BATCH_CROSS: every task of the registry run on every security
// group, laid out as one flat table in ascending code, then date, order.
#include "batch/batch.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

#include "batch/registry.hpp"
#include "batch/table.hpp"
#include "runtime/interrupt.hpp"
#include "runtime/pool.hpp"
#include "runtime/streaming.hpp"

namespace tarvex {

namespace {

// Writes one group's codes, dates and outputs (one Series per column, each
// exactly as long as the group), and its input rows when the table keeps
// them, into its stretch of the table.
void fill_group(BatchTable& table, const SecurityGroup& group, KeyView<std::int64_t> dates, const SeriesList& outputs,
                KeyView<std::int64_t> sources) {
  const std::size_t first = group.first, m = group.count;
  if (outputs.size() != table.columns.size()) throw std::logic_error("batch outputs do not match the columns");
  for (const Series& s : outputs) {
    if (s.size() != m) throw std::logic_error("batch output length differs from its group");
  }
  stream_to(table.codes.data() + first, m, [&](std::size_t) { return group.code; });
  stream_copy(table.dates.data() + first, dates.data(), m);
  for (std::size_t k = 0; k < outputs.size(); ++k) stream_copy(table.columns[k].data() + first, outputs[k].data(), m);
  if (!table.sources.empty()) stream_copy(table.sources.data() + first, sources.data(), m);
  stream_fence();
}

// Every task's outputs on one group, in task order (one Series per field).
// A group is a chunk of work between interruption points: each task does a
// dozen or so operations per bar.
SeriesList run_tasks(const std::vector<Task>& tasks, const GroupSeries& series) {
  SeriesList outputs;
  for (const Task& t : tasks) compute_task(t, series, outputs);
  interruption_point(16 * tasks.size() * series.prices[kClose].size());
  return outputs;
}

// ---- cross pairs ----

struct CrossPair {
  std::string label;
  std::string fast;
  std::string slow;
};

// One pair per name that has a natural fast and slow line (the registry's
// crossing pair), in name order. The
// tasks of one name are adjacent, so an expanding name pairs its two tasks.
std::vector<CrossPair> infer_pairs(const std::vector<Task>& tasks) {
  std::vector<CrossPair> pairs;
  for (std::size_t t = 0; t < tasks.size();) {
    std::size_t end = t;
    while (end < tasks.size() && tasks[end].name_index == tasks[t].name_index) ++end;
    const Indicator& ind = *tasks[t].indicator;
    const std::string& name = ind.name;
    if (const char* fast = ind.function->cross_fast) {
      pairs.push_back(CrossPair{name + "_cross", fast, ind.function->cross_slow});
    } else if (ind.expanding && end - t == 2) {
      if (tasks[t].fields.size() != 1 || tasks[t + 1].fields.size() != 1) {
        throw ValueError("cross=True cannot infer pair for " + name);
      }
      pairs.push_back(CrossPair{name + "_cross", tasks[t].fields[0], tasks[t + 1].fields[0]});
    }
    t = end;
  }
  if (pairs.empty()) throw ValueError("cross=True found no cross pair");
  return pairs;
}

std::size_t field_position(const std::vector<std::string>& fields, const std::string& field) {
  auto it = std::find(fields.begin(), fields.end(), field);
  if (it == fields.end()) throw ValueError("cross field not found: " + field);
  return static_cast<std::size_t>(it - fields.begin());
}

// The positions of pairs' fast and slow lines among the fields.
using LinePairs = std::vector<std::pair<std::size_t, std::size_t>>;

// Output positions of each pair's fast and slow line.
LinePairs resolve_pairs(const std::vector<CrossPair>& pairs, const std::vector<std::string>& fields) {
  LinePairs positions;
  for (const CrossPair& p : pairs) {
    const std::size_t fast = field_position(fields, p.fast);
    positions.emplace_back(fast, field_position(fields, p.slow));
  }
  return positions;
}

// 1.0 where every pair signal is exactly +1.0, else 0.0.
Series combined_cross(const SeriesList& signals, std::size_t m) {
  Series out(m, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    bool all_up = true;
    for (const Series& s : signals) all_up = all_up && s[j] == 1.0;
    if (all_up) out[j] = 1.0;
  }
  return out;
}

// BATCH_CROSS's columns: the fields when keep_values, then the signals.
std::vector<std::string> cross_columns(const std::vector<std::string>& fields, const std::vector<CrossPair>& pairs,
                                       bool keep_values) {
  std::vector<std::string> columns = keep_values ? fields : std::vector<std::string>{};
  if (pairs.size() > 1) {
    for (const CrossPair& p : pairs) columns.push_back(p.label);
  }
  columns.emplace_back("cross");
  return columns;
}

}  // namespace

std::vector<std::string> table_columns(const std::vector<std::string>& names,
                                       const std::vector<std::vector<std::uint64_t>>& params, bool cross,
                                       bool keep_values) {
  const std::vector<Task> tasks = build_tasks(names, params);
  if (!cross) return field_names(tasks);
  return cross_columns(field_names(tasks), infer_pairs(tasks), keep_values);
}

ForEachGroup on_pool(std::size_t threads, std::function<bool()> poll) {
  return [threads, poll = std::move(poll)](std::size_t count, const std::function<void(std::size_t)>& body) {
    parallel_for(count, threads, 1, body, poll);
  };
}

// What a run computes each group with. BATCH_CROSS keeps the positions
// of its pairs' lines among the fields (none when no row takes part: a pair
// is then never looked up).
struct BatchRun::Plan {
  BatchInput in;
  std::vector<Task> tasks;
  Grouping grouping;
  std::vector<std::string> columns;
  bool cross = false;
  bool keep_values = true;
  LinePairs pairs;
  std::size_t released = 0;  // bytes of the moved bars given back

  // Group k's columns, from its series.
  SeriesList outputs(const SecurityGroup& group, const GroupSeries& series) const {
    SeriesList outputs = run_tasks(tasks, series);
    if (!cross) return outputs;
    SeriesList signals;
    for (const auto& [fast, slow] : pairs) signals.push_back(CROSS(outputs[fast], outputs[slow]));
    if (signals.size() > 1) signals.push_back(combined_cross(signals, group.count));
    if (!keep_values) outputs.clear();
    for (Series& s : signals) outputs.push_back(std::move(s));
    return outputs;
  }
};

BatchRun::BatchRun(const BatchInput& in, const ForEachGroup& for_each, Bars bars) {
  check_table(in);
  std::vector<Task> tasks = build_tasks(in.names, in.params);
  Grouping grouping = group_rows(in, columns_read(tasks), for_each, bars);
  std::vector<std::string> columns = field_names(tasks);
  plan_.reset(new Plan{in, std::move(tasks), std::move(grouping), std::move(columns), false, true, {}});
}

BatchRun::BatchRun(const BatchInput& in, bool keep_values, const ForEachGroup& for_each, Bars bars) {
  check_table(in);
  std::vector<Task> tasks = build_tasks(in.names, in.params);
  const std::vector<CrossPair> pairs = infer_pairs(tasks);
  const std::vector<std::string> fields = field_names(tasks);
  std::vector<std::string> columns = cross_columns(fields, pairs, keep_values);

  Grouping grouping = group_rows(in, columns_read(tasks), for_each, bars);
  LinePairs positions;
  if (!grouping.groups.empty()) positions = resolve_pairs(pairs, fields);
  plan_.reset(new Plan{in, std::move(tasks), std::move(grouping), std::move(columns), true, keep_values,
                       std::move(positions)});
}

BatchRun::~BatchRun() = default;

const std::vector<std::string>& BatchRun::columns() const { return plan_->columns; }
std::size_t BatchRun::rows() const { return plan_->grouping.size(); }
std::size_t BatchRun::groups() const { return plan_->grouping.groups.size(); }

BatchTable BatchRun::lay_out() const {
  const std::size_t n = rows();
  BatchTable table;
  table.codes.resize(n);
  table.dates.resize(n);
  table.columns.reserve(plan_->columns.size());
  for (std::size_t k = 0; k < plan_->columns.size(); ++k) table.columns.emplace_back(n);
  table.fields = plan_->columns;
  if (plan_->in.sources) table.sources.resize(n);
  return table;
}

std::size_t BatchRun::compute_into(BatchTable& table, std::size_t k) const {
  const SecurityGroup& group = plan_->grouping.groups[k];
  const GroupSeries series = gather(plan_->grouping, group, plan_->in);
  fill_group(table, group, series.date, plan_->outputs(group, series), series.sources);
  return series.repeats;
}

GroupRows BatchRun::compute(std::size_t k) const {
  const SecurityGroup& group = plan_->grouping.groups[k];
  const GroupSeries series = gather(plan_->grouping, group, plan_->in);
  GroupRows rows;
  rows.code = group.code;
  rows.dates.assign(series.date.data(), series.date.data() + series.date.size());
  rows.columns = plan_->outputs(group, series);
  return rows;
}

// In steps of a megabyte or more: each step is a system call.
void BatchRun::release_through(std::size_t k) {
  Plan& plan = *plan_;
  const SecurityGroup& group = plan.grouping.groups[k];
  const Series& bars = plan.grouping.bars;
  const std::size_t front = (group.first + group.count) * plan.grouping.width * sizeof(double);
  if (front < plan.released + (std::size_t{1} << 20)) return;
  release_front(bars.data(), bars.capacity() * sizeof(double), front);
  plan.released = front;
}

namespace {

BatchTable computed_table(const BatchRun& run, const ForEachGroup& for_each) {
  BatchTable table = run.lay_out();
  std::vector<std::size_t> repeats(run.groups(), 0);
  for_each(run.groups(), [&](std::size_t k) { repeats[k] = run.compute_into(table, k); });
  for (std::size_t r : repeats) table.repeats += r;
  return table;
}

}  // namespace

BatchTable BATCH(const BatchInput& in, const ForEachGroup& for_each) {
  return computed_table(BatchRun(in, for_each), for_each);
}

BatchTable BATCH_CROSS(const BatchInput& in, bool keep_values, const ForEachGroup& for_each) {
  return computed_table(BatchRun(in, keep_values, for_each), for_each);
}

}  // namespace tarvex

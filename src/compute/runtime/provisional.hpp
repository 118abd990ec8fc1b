// Provisional evaluation, the engine of a formula's `#WEEK` periods: a
// routine runs over one row per bar of a shorter period, of which only some
// are commits (the last row of a longer period), and its value on row t is
// its last value over the inputs at the commits before t followed by the
// inputs at t. At a commit that is the finished period's value; elsewhere
// it is the period as it stands on that row, never a later one.
//
// A routine gets this mode by running inside a ProvisionalScope, which sets
// the commit layout of one segment for the calling thread. The primitives
// that know a provisional form (exponential smoothing, the window
// statistics, the window extremes, shifts and running sums) consult it;
// only routines whose every step is such a primitive or element-wise may
// run inside a scope (the registry marks them). A primitive asked for a
// form it cannot give throws NoProvisionalForm, and the caller computes
// the routine by the generic exact way instead (registry/provisional).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/interrupt.hpp"
#include "series/series.hpp"

namespace tarvex {

// Thrown by a primitive that cannot run in provisional mode on its input.
struct NoProvisionalForm {};

// The commits of one segment's rows: commit[i] != 0 where row i is the
// last row of its period.
struct CommitLayout {
  const std::uint8_t* commit;
  std::size_t rows;
};

// Sets the commit layout for the computations on the calling thread while
// it lives; the previous one comes back when it ends.
class ProvisionalScope {
 public:
  ProvisionalScope(const std::uint8_t* commit, std::size_t rows);
  ~ProvisionalScope();
  ProvisionalScope(const ProvisionalScope&) = delete;
  ProvisionalScope& operator=(const ProvisionalScope&) = delete;

 private:
  CommitLayout layout_;
  const CommitLayout* previous_;
};

// The layout a primitive over `rows` values computes with: nullptr outside
// a scope; NoProvisionalForm when `rows` is not the segment's length.
const CommitLayout* provisional_layout(std::size_t rows);

// The layout in force on this thread, whatever the length, or nullptr.
const CommitLayout* provisional_active();

// For a primitive without a provisional form: NoProvisionalForm inside a scope.
void refuse_provisional();

// Rows between two interruption points of the loops below.
inline constexpr std::size_t kRowsBetweenPolls = 4096;

// out[i] = value(history, count) for every row i of s, where history[0 ..
// count) holds s at the commits before row i, then s[i]: the input of the
// routine truncated at row i. `value` gives the routine's last value over
// such an input.
template <class Value>
Series over_commits(SeriesView s, const CommitLayout& layout, Value value) {
  Series out(s.size());
  std::vector<double> history;
  history.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    history.push_back(s[i]);
    out[i] = value(static_cast<const double*>(history.data()), history.size());
    if (layout.commit[i] == 0) history.pop_back();
    if (i % kRowsBetweenPolls == kRowsBetweenPolls - 1) interruption_point(16 * kRowsBetweenPolls);
  }
  return out;
}

// A running state that steps once per row in provisional mode: the state
// as of the last commit is kept, and each row steps a copy of it, which
// becomes the kept state at a commit. `step(state, i)` advances a state by
// row i and returns the row's value.
template <class State, class Step>
Series step_commits(std::size_t rows, const CommitLayout& layout, State state, Step step) {
  Series out(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    State next = state;
    out[i] = step(next, i);
    if (layout.commit[i] != 0) state = next;
    if (i % kRowsBetweenPolls == kRowsBetweenPolls - 1) interruption_point(8 * kRowsBetweenPolls);
  }
  return out;
}

}  // namespace tarvex

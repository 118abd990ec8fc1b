// Stopping a long computation from outside. The compute code knows nothing
// of Python: the layer that calls it installs a hook for its thread, and
// long loops call `interruption_point` between chunks of work. When the hook
// asks to stop, the loop throws `Interrupted`, every owned buffer unwinds
// with it, and the caller turns that into its own error (KeyboardInterrupt
// in the Python modules).
#pragma once

#include <cstddef>

namespace tarvex {

// Thrown out of a computation whose hook asked it to stop.
struct Interrupted {};

// Asked between chunks whether the computation on this thread must stop.
class InterruptHook {
 public:
  virtual ~InterruptHook() = default;
  virtual bool stop() = 0;
};

// Installs a hook for the computations on the calling thread while it lives;
// the previous hook comes back when it ends.
class InterruptScope {
 public:
  explicit InterruptScope(InterruptHook* hook);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  InterruptHook* previous_;
  std::size_t previous_work_;
};

// Work units (roughly one arithmetic operation each) between two calls of
// the hook: a few milliseconds of computation.
inline constexpr std::size_t kInterruptQuantum = std::size_t{1} << 22;

// Counts `work` units done on this thread since the last call; once a
// quantum has accumulated, asks the installed hook and throws Interrupted
// if it says stop. Without a hook it only counts.
void interruption_point(std::size_t work);

}  // namespace tarvex

#include "runtime/interrupt.hpp"

namespace tarvex {
namespace {

thread_local InterruptHook* t_hook = nullptr;
thread_local std::size_t t_work = 0;

}  // namespace

InterruptScope::InterruptScope(InterruptHook* hook) : previous_(t_hook), previous_work_(t_work) {
  t_hook = hook;
  t_work = 0;
}

InterruptScope::~InterruptScope() {
  t_hook = previous_;
  t_work = previous_work_;
}

void interruption_point(std::size_t work) {
  t_work += work;
  if (t_work < kInterruptQuantum) return;
  t_work = 0;
  if (t_hook != nullptr && t_hook->stop()) throw Interrupted{};
}

}  // namespace tarvex

#include "runtime/provisional.hpp"

namespace tarvex {

namespace {
thread_local const CommitLayout* active = nullptr;
}  // namespace

ProvisionalScope::ProvisionalScope(const std::uint8_t* commit, std::size_t rows)
    : layout_{commit, rows}, previous_(active) {
  active = &layout_;
}

ProvisionalScope::~ProvisionalScope() { active = previous_; }

const CommitLayout* provisional_layout(std::size_t rows) {
  if (active != nullptr && active->rows != rows) throw NoProvisionalForm{};
  return active;
}

const CommitLayout* provisional_active() { return active; }

void refuse_provisional() {
  if (active != nullptr) throw NoProvisionalForm{};
}

}  // namespace tarvex

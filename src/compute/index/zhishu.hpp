// Composite index bars from constituent rows.
#pragma once

#include <cstdint>
#include <vector>

#include "series/series.hpp"

namespace tarvex {

struct ZhishuInput {
  const std::vector<std::uint64_t>& code;
  const std::vector<std::int64_t>& date;
  const Series& open;
  const Series& high;
  const Series& low;
  const Series& close;
  const Series& volume;
  const Series& amount;
  const Series& float_mv;
  const Series& total_mv;
};

// One element per emitted index bar, in ascending date order.
struct ZhishuResult {
  std::vector<std::int64_t> date;
  Series open, high, low, close, change, volume, amount;
  std::vector<std::uint64_t> count;
};

ZhishuResult ZHISHU(const ZhishuInput& in, std::uint64_t method, double base);

}  // namespace tarvex

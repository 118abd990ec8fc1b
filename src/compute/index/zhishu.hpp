// Composite index bars from constituent rows.
#pragma once

#include <cstdint>
#include <vector>

#include "series/series.hpp"

namespace tarvex {

struct ZhishuInput {
  KeyView<std::uint64_t> code;
  KeyView<std::int64_t> date;
  SeriesView open;
  SeriesView high;
  SeriesView low;
  SeriesView close;
  SeriesView volume;
  SeriesView amount;
  SeriesView float_mv;
  SeriesView total_mv;
};

// One element per emitted index bar, in ascending date order.
struct ZhishuResult {
  std::vector<std::int64_t> date;
  Series open, high, low, close, change, volume, amount;
  std::vector<std::uint64_t> count;
};

ZhishuResult ZHISHU(const ZhishuInput& in, std::uint64_t method, double base);

}  // namespace tarvex

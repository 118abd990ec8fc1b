// A registry routine in provisional mode over one segment (see
// runtime/provisional.hpp): its value on row t is its last value over its
// series at the commits before t followed by their values at t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "registry/registry.hpp"

namespace tarvex::registry {

// How a routine runs in provisional mode: its own form where it has one and
// the generic way otherwise, the generic way alone, or its own form alone
// (ValueError where it has none: for tests).
enum class Way { kBest, kGeneric, kOwn };

// The routine of `f` over one segment of `rows` rows (every series argument
// that long) with the commits `commit`: through the routine itself inside a
// ProvisionalScope where the registry marks it provisional; otherwise, or
// where a primitive has no provisional form, the generic way: for each row,
// the routine over the committed rows and that row, its last value kept.
// The generic way is exact for every routine, those reading later bars
// included (they then read no later bar), and costs a routine call per
// row. ValueError for a routine giving a number.
SeriesList invoke_provisional(const Function& f, const std::vector<Arg>& args, const std::uint8_t* commit,
                              std::size_t rows, Way way = Way::kBest);

}  // namespace tarvex::registry

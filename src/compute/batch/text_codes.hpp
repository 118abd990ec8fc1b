// Text codes as numbers: each row's rank among the distinct texts of a
// column held as Arrow strings (offsets into one buffer of UTF-8 bytes), so
// that a market keyed by text codes is ordered as one keyed by numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "batch/batch.hpp"
#include "batch/order.hpp"

namespace tarvex {

// One Arrow array of strings: `length` texts from its `first`-th on. With
// offsets (32- or 64-bit, one of the two views set), text i is
// buffers[0][offsets[i] .. offsets[i + 1]). With string views (16 bytes a
// text), text i is its view's inline bytes (up to 12), or the bytes its
// view points at in one of `buffers`.
struct TextChunk {
  KeyView<std::int32_t> offsets32;
  KeyView<std::int64_t> offsets64;
  KeyView<std::uint8_t> views;
  std::vector<KeyView<std::uint8_t>> buffers;
  std::size_t first = 0;
  std::size_t length = 0;
};

struct TextNumbers {
  RowColumn ids;     // each row's rank among the distinct texts, rows of the chunks one after another
  RowColumn firsts;  // the first row of each distinct text, by rank
};

// The ranks order the texts by their bytes, which for UTF-8 is the order of
// their code points (Python's order of str). Rows are read in pieces side
// by side through `for_each`; a row repeating the row before it is not
// looked up again (a market ordered by code is mostly such rows). Offsets
// that do not ascend within the bytes, or a view outside its buffer, are a
// ValueError.
TextNumbers number_texts(const std::vector<TextChunk>& chunks, const ForEachGroup& for_each);

// Keys in the texts' byte order without a table of the texts: each text
// read as a number whose digits are its bytes, the digit at each position
// being the byte's rank among the bytes met there (0 standing for a text
// that ended before it, so that a text comes before the longer texts it
// begins). Exchange codes vary in few bytes and few values a byte, so the
// keys span a range about the size of the market and sort by counting.
// Nothing when a text is longer than 16 bytes or the keys would span more
// than `span`.
std::optional<RowColumn> text_keys(const std::vector<TextChunk>& chunks, std::uint64_t span,
                                   const ForEachGroup& for_each);

// Where each key first appears: for each value 0 .. span - 1 the first row
// whose key it is, -1 for a value no row has (a key outside is a
// ValueError).
RowColumn first_rows(KeyView<std::int64_t> keys, std::size_t span);

// A text column as Arrow lays out large strings: offsets (one more than
// the texts) into bytes.
struct TextColumn {
  RowColumn offsets;
  std::vector<std::uint8_t, BlockAllocator<std::uint8_t>> bytes;
};

// The texts at `rows` of the chunks (rows counted over the chunks one after
// another), the k-th repeated counts[k] times: a key column of a table
// grouped by code, made from one row of each code.
TextColumn repeat_texts(const std::vector<TextChunk>& chunks, KeyView<std::int64_t> rows,
                        KeyView<std::int64_t> counts, const ForEachGroup& for_each);

}  // namespace tarvex

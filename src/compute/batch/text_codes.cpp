#include "batch/text_codes.hpp"

#include "batch/table.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <numeric>
#include <random>
#include <string_view>
#include <utility>

namespace tarvex {
namespace {

using Text = std::string_view;

// Drawn once a process, so that no set of codes chosen in advance collides
// on purpose; the numbers found do not depend on it.
const std::uint64_t kSeed = (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// What a text is looked up by. A text of up to 15 bytes is its own key: its
// bytes, then its length in the last byte, compared as two words. A longer
// one is keyed by a hash of its bytes and its length (the last byte 0xff),
// and its bytes are compared when the keys match.
struct TextKey {
  std::uint64_t lo = 0, hi = 0;
  bool operator==(const TextKey& o) const { return lo == o.lo && hi == o.hi; }
  bool whole() const { return hi >> 56 != 0xff; }
};

constexpr std::size_t kShortText = 15;

// The key of `t`, whose memory may be read up to `limit` (a short text's
// sixteen bytes are then read at once, and the ones past it masked off).
TextKey key_of(Text t, const char* limit) {
  const std::size_t n = t.size();
  TextKey k;
  if (n > kShortText) {
    std::uint64_t h = kSeed ^ (n * 0x9e3779b97f4a7c15ULL);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, t.data() + i, 8);
      h = mix(h ^ word);
    }
    std::uint64_t tail = 0;
    for (std::size_t j = i; j < n; ++j) tail |= std::uint64_t{static_cast<unsigned char>(t[j])} << (8 * (j - i));
    return {mix(h ^ tail), std::uint64_t{0xff} << 56 | (n & ((std::uint64_t{1} << 56) - 1))};
  }
  std::uint64_t words[2] = {0, 0};
  if (n != 0 && limit - t.data() >= 16) {
    std::memcpy(words, t.data(), 16);
    const auto low_bytes = [](std::size_t b) { return b >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * b)) - 1; };
    words[0] &= low_bytes(n);
    words[1] &= n > 8 ? low_bytes(n - 8) : 0;
  } else {
    for (std::size_t j = 0; j < n; ++j) {
      words[j / 8] |= std::uint64_t{static_cast<unsigned char>(t[j])} << (8 * (j % 8));
    }
  }
  k.lo = words[0];
  k.hi = words[1] | std::uint64_t{n} << 56;
  return k;
}

// The distinct texts met, numbered 0, 1, ... as first met, each with the
// first row it was met on; an open-addressing table of their keys finds a
// text's number.
class TextTable {
 public:
  std::uint32_t number(Text t, const TextKey& key, std::size_t row) {
    if (2 * (texts_.size() + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = slot_of(key) & mask;; s = (s + 1) & mask) {
      const std::uint32_t at = slots_[s];
      if (at == kEmpty) {
        slots_[s] = static_cast<std::uint32_t>(texts_.size());
        keys_.push_back(key);
        texts_.push_back(t);
        firsts_.push_back(row);
        return slots_[s];
      }
      if (keys_[at] == key && (key.whole() || texts_[at] == t)) return at;
    }
  }

  const std::vector<Text>& texts() const { return texts_; }
  const std::vector<std::size_t>& firsts() const { return firsts_; }

 private:
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};

  static std::size_t slot_of(const TextKey& k) {
    return static_cast<std::size_t>(mix((k.lo ^ kSeed) + k.hi * 0x9e3779b97f4a7c15ULL));
  }

  void grow() {
    std::vector<std::uint32_t> slots(std::max<std::size_t>(64, 2 * slots_.size()), kEmpty);
    const std::size_t mask = slots.size() - 1;
    for (std::uint32_t k = 0; k < keys_.size(); ++k) {
      std::size_t s = slot_of(keys_[k]) & mask;
      while (slots[s] != kEmpty) s = (s + 1) & mask;
      slots[s] = k;
    }
    slots_ = std::move(slots);
  }

  // Slots hold numbers only, and the keys lie by number: a market's few
  // thousand codes then fit the nearest caches.
  std::vector<std::uint32_t> slots_;
  std::vector<TextKey> keys_;
  std::vector<Text> texts_;
  std::vector<std::size_t> firsts_;
};

// A stretch of one chunk's texts, read on its own: rows [begin, end) of the
// chunk, the first being row `row` of the column.
struct Piece {
  std::size_t chunk, begin, end, row;
};

// The pieces of the chunks' rows: of a fixed size for a given column, so
// that nothing depends on the threads (a sixteenth of the rows, and no
// fewer than 65,536).
std::vector<Piece> pieces_of(const std::vector<TextChunk>& chunks, std::size_t n) {
  const std::size_t size = std::max<std::size_t>(65536, (n + 15) / 16);
  std::vector<Piece> pieces;
  for (std::size_t k = 0, row = 0; k < chunks.size(); row += chunks[k++].length) {
    for (std::size_t b = 0; b < chunks[k].length; b += size) {
      pieces.push_back({k, b, std::min(chunks[k].length, b + size), row + b});
    }
  }
  return pieces;
}

// Calls visit(i, text, limit) for the piece's texts in order (every
// `step`-th), i counting from 0 and `limit` the end of the memory that
// holds the text. Offsets or
// views that do not lie within the chunk's buffers are a ValueError.
template <class Visit>
void read_texts(const TextChunk& c, const Piece& piece, Visit visit, std::size_t step = 1) {
  const std::size_t first = c.first + piece.begin, count = piece.end - piece.begin;
  const auto by_offsets = [&](auto offsets) {
    if (offsets.size() < first + count + 1 || c.buffers.size() != 1) {
      throw ValueError("a text column's offsets are fewer than its texts");
    }
    const auto* at = offsets.data() + first;
    const char* from = reinterpret_cast<const char*>(c.buffers[0].data());
    const std::size_t size = c.buffers[0].size();
    for (std::size_t i = 0; i < count; i += step) {
      if (at[i] < 0 || at[i] > at[i + 1] || static_cast<std::uint64_t>(at[i + 1]) > size) {
        throw ValueError("a text column's offsets do not ascend within its bytes");
      }
      visit(i, Text(from + at[i], static_cast<std::size_t>(at[i + 1] - at[i])), from + size);
    }
  };
  if (c.views.size() == 0) return c.offsets64.size() != 0 ? by_offsets(c.offsets64) : by_offsets(c.offsets32);

  constexpr std::size_t kView = 16, kInline = 12;
  if (c.views.size() / kView < first + count) throw ValueError("a text column's views are fewer than its texts");
  const auto word = [](const std::uint8_t* p) {
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  const char* views_end = reinterpret_cast<const char*>(c.views.data() + c.views.size());
  for (std::size_t i = 0; i < count; i += step) {
    const std::uint8_t* view = c.views.data() + (first + i) * kView;
    const std::int32_t size = word(view);
    if (size >= 0 && static_cast<std::size_t>(size) <= kInline) {
      visit(i, Text(reinterpret_cast<const char*>(view) + 4, static_cast<std::size_t>(size)), views_end);
      continue;
    }
    const std::int32_t buffer = word(view + 8), offset = word(view + 12);
    if (size < 0 || buffer < 0 || offset < 0 || static_cast<std::size_t>(buffer) >= c.buffers.size() ||
        static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(size) > c.buffers[buffer].size()) {
      throw ValueError("a text column's view lies outside its buffers");
    }
    const char* from = reinterpret_cast<const char*>(c.buffers[buffer].data());
    visit(i, Text(from + offset, static_cast<std::size_t>(size)), from + c.buffers[buffer].size());
  }
}

// Numbers the piece's texts in `table`, leaving each row's number at
// ids[row].
void number_piece(const TextChunk& c, const Piece& piece, TextTable& table, std::int64_t* ids) {
  Text last;
  TextKey last_key;
  std::uint32_t last_number = 0;
  read_texts(c, piece, [&](std::size_t i, Text t, const char* limit) {
    const TextKey key = key_of(t, limit);
    if (i == 0 || !(key == last_key && (key.whole() || t == last))) {
      last_number = table.number(t, key, piece.row + i);
    }
    last = t;
    last_key = key;
    ids[piece.row + i] = last_number;
  });
}

std::size_t rows_of(const std::vector<TextChunk>& chunks) {
  std::size_t n = 0;
  for (const TextChunk& c : chunks) n += c.length;
  if (n >= std::size_t{1} << 32) throw ValueError("a column of 2**32 texts or more cannot be numbered");
  return n;
}

}  // namespace

TextNumbers number_texts(const std::vector<TextChunk>& chunks, const ForEachGroup& for_each) {
  const std::size_t n = rows_of(chunks);
  const std::vector<Piece> pieces = pieces_of(chunks, n);
  std::vector<TextTable> tables(pieces.size());
  TextNumbers out;
  out.ids.resize(n);
  for_each(pieces.size(), [&](std::size_t p) {
    number_piece(chunks[pieces[p].chunk], pieces[p], tables[p], out.ids.data());
  });

  // The pieces' texts numbered over the whole column, pieces in row order
  // (so each text keeps its first row), then ranked by their bytes.
  TextTable all;
  std::vector<std::vector<std::uint32_t>> numbers(pieces.size());
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    const TextTable& t = tables[p];
    for (std::size_t k = 0; k < t.texts().size(); ++k) {
      const Text text = t.texts()[k];
      numbers[p].push_back(all.number(text, key_of(text, text.data()), t.firsts()[k]));
    }
  }
  const std::size_t distinct = all.texts().size();
  std::vector<std::uint32_t> by_text(distinct);
  std::iota(by_text.begin(), by_text.end(), 0);
  std::sort(by_text.begin(), by_text.end(), [&](std::uint32_t a, std::uint32_t b) {
    return all.texts()[a] < all.texts()[b];
  });
  std::vector<std::int64_t> rank(distinct);
  out.firsts.resize(distinct);
  for (std::size_t r = 0; r < distinct; ++r) {
    rank[by_text[r]] = static_cast<std::int64_t>(r);
    out.firsts[r] = static_cast<std::int64_t>(all.firsts()[by_text[r]]);
  }
  for_each(pieces.size(), [&](std::size_t p) {
    const Piece& piece = pieces[p];
    std::vector<std::int64_t> ranks(numbers[p].size());
    for (std::size_t k = 0; k < ranks.size(); ++k) ranks[k] = rank[numbers[p][k]];
    std::int64_t* ids = out.ids.data() + piece.row;
    for (std::size_t i = 0, count = piece.end - piece.begin; i < count; ++i) ids[i] = ranks[static_cast<std::size_t>(ids[i])];
  });
  return out;
}

namespace {

constexpr std::size_t kKeyBytes = 16;  // the longest text text_keys reads

// The bytes met at each position of the texts of a piece (a flag per byte
// value: plain stores, which unlike setting bits do not wait on each
// other), and the lengths of the shortest and longest text.
struct BytesMet {
  std::uint8_t at[kKeyBytes][256] = {};
  std::size_t shortest = kKeyBytes, longest = 0;
};

// The bytes met by every `step`-th text of each piece; nothing when a
// text is longer than kKeyBytes.
std::optional<BytesMet> bytes_met(const std::vector<TextChunk>& chunks, const std::vector<Piece>& pieces,
                                  std::size_t step, const ForEachGroup& for_each) {
  std::vector<BytesMet> met(pieces.size());
  std::atomic<bool> too_long{false};
  for_each(pieces.size(), [&](std::size_t p) {
    BytesMet& m = met[p];
    read_texts(chunks[pieces[p].chunk], pieces[p], [&](std::size_t, Text t, const char*) {
      if (t.size() > kKeyBytes) {
        too_long.store(true, std::memory_order_relaxed);
        return;
      }
      m.shortest = std::min(m.shortest, t.size());
      m.longest = std::max(m.longest, t.size());
      for (std::size_t b = 0; b < t.size(); ++b) m.at[b][static_cast<unsigned char>(t[b])] = 1;
    }, step);
  });
  if (too_long.load()) return std::nullopt;
  BytesMet all;
  for (const BytesMet& m : met) {
    all.shortest = std::min(all.shortest, m.shortest);
    all.longest = std::max(all.longest, m.longest);
    for (std::size_t b = 0; b < kKeyBytes; ++b) {
      for (std::size_t byte = 0; byte < 256; ++byte) all.at[b][byte] |= m.at[b][byte];
    }
  }
  return all;
}

// What each byte at each position adds to a key: its digit (from 1 where a
// text may have ended before it) times the position's weight, the count of
// the digits after it multiplied; kUnmet for a byte not met there, which
// lifts any key holding it above every key of met bytes (and sixteen of it
// stay below 2**64). Nothing when the keys would span more than `span`
// (given up before overflowing).
constexpr std::uint64_t kUnmet = std::uint64_t{1} << 59;

struct KeyParts {
  std::vector<std::array<std::uint64_t, 256>> part;
  std::size_t shortest, longest;
};

std::optional<KeyParts> key_parts(const BytesMet& met, std::uint64_t span) {
  span = std::min(span, kUnmet);
  KeyParts out{std::vector<std::array<std::uint64_t, 256>>(met.longest), met.shortest, met.longest};
  std::uint64_t keys = 1;  // the keys the positions after the current one can make
  for (std::size_t b = met.longest; b-- > 0;) {
    std::uint64_t digit = b >= met.shortest ? 1 : 0;
    for (std::size_t byte = 0; byte < 256; ++byte) {
      out.part[b][byte] = met.at[b][byte] ? digit * keys : kUnmet;
      digit += met.at[b][byte];
    }
    if (keys > span / digit) return std::nullopt;
    keys *= digit;
  }
  return out;  // every key of met bytes is below `span`, itself below kUnmet
}

}  // namespace

std::optional<RowColumn> text_keys(const std::vector<TextChunk>& chunks, std::uint64_t span,
                                   const ForEachGroup& for_each) {
  const std::size_t n = rows_of(chunks);
  const std::vector<Piece> pieces = pieces_of(chunks, n);
  // The bytes of a sample of the rows first: a market's codes recur, so
  // the sample mostly meets every byte the keys need, and reading every
  // row for them would take as long as making the keys. A text with a byte
  // or a length the sample did not meet sends the keys through the bytes
  // of every row; keys of a sample too wide or too long are those of every
  // row too.
  const std::size_t sample = std::max<std::size_t>(1, n / 65536);
  for (const std::size_t step : {sample, std::size_t{1}}) {
    const std::optional<BytesMet> met = bytes_met(chunks, pieces, step, for_each);
    const std::optional<KeyParts> parts = met ? key_parts(*met, span) : std::nullopt;
    if (!parts) return std::nullopt;
    RowColumn out(n);
    std::atomic<bool> unmet{false};
    for_each(pieces.size(), [&](std::size_t p) {
      std::int64_t* keys_out = out.data() + pieces[p].row;
      bool missed = false;
      read_texts(chunks[pieces[p].chunk], pieces[p], [&](std::size_t i, Text t, const char*) {
        if (t.size() < parts->shortest || t.size() > parts->longest) {
          missed = true;
          return;
        }
        std::uint64_t key = 0;
        for (std::size_t b = 0; b < t.size(); ++b) key += parts->part[b][static_cast<unsigned char>(t[b])];
        missed |= key >= kUnmet;
        keys_out[i] = static_cast<std::int64_t>(key);
      });
      if (missed) unmet.store(true, std::memory_order_relaxed);
    });
    if (!unmet.load()) return out;
    if (step == 1) throw ValueError("the text column changed while it was read");
  }
  return std::nullopt;  // not reached: the second round reads every row
}

RowColumn first_rows(KeyView<std::int64_t> keys, std::size_t span) {
  RowColumn first(span);
  std::fill(first.begin(), first.end(), -1);
  for (std::size_t r = keys.size(); r-- > 0;) {
    if (static_cast<std::uint64_t>(keys[r]) >= span) throw ValueError("a key lies outside the span");
    first[static_cast<std::size_t>(keys[r])] = static_cast<std::int64_t>(r);
  }
  return first;
}

TextColumn repeat_texts(const std::vector<TextChunk>& chunks, KeyView<std::int64_t> rows,
                        KeyView<std::int64_t> counts, const ForEachGroup& for_each) {
  check_same_length(rows.size(), {counts.size()});
  const std::size_t n = rows_of(chunks);
  std::vector<std::size_t> ends;  // one past each chunk's last row
  for (const TextChunk& c : chunks) ends.push_back((ends.empty() ? 0 : ends.back()) + c.length);
  // Each text read once, and where its copies start among the texts and
  // among the bytes.
  const std::size_t k = rows.size();
  std::vector<Text> texts(k);
  std::vector<std::size_t> first_text(k + 1, 0), first_byte(k + 1, 0);
  for (std::size_t j = 0; j < k; ++j) {
    if (static_cast<std::uint64_t>(rows[j]) >= n || counts[j] < 0) throw ValueError("a row lies outside the texts");
    const std::size_t row = static_cast<std::size_t>(rows[j]);
    const std::size_t c = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), row) - ends.begin());
    const std::size_t begin = row - (ends[c] - chunks[c].length);
    read_texts(chunks[c], Piece{c, begin, begin + 1, row}, [&](std::size_t, Text t, const char*) { texts[j] = t; });
    const std::size_t copies = static_cast<std::size_t>(counts[j]);
    first_text[j + 1] = first_text[j] + copies;
    first_byte[j + 1] = first_byte[j] + copies * texts[j].size();
  }
  TextColumn out;
  out.offsets.resize(first_text[k] + 1);
  out.bytes.resize(first_byte[k]);
  out.offsets[first_text[k]] = static_cast<std::int64_t>(first_byte[k]);
  for_each(k, [&](std::size_t j) {
    const Text t = texts[j];
    std::size_t at = first_byte[j];
    for (std::size_t i = first_text[j]; i < first_text[j + 1]; ++i, at += t.size()) {
      out.offsets[i] = static_cast<std::int64_t>(at);
      if (!t.empty()) std::memcpy(out.bytes.data() + at, t.data(), t.size());
    }
  });
  return out;
}

}  // namespace tarvex

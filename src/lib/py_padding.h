// The padded layouts of the two numpy batch methods, as plain buffers:
// encode_batch's uint32 ids with a uint8 mask (right padding and truncation),
// and encode_special_padded's int64 cells with prefix, suffix, truncation and
// padding on either side. The Python side allocates; this file sizes and fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::py {

using Rows = std::vector<std::vector<uint32_t>>;

// rows * width * cell_bytes, or nullopt when it exceeds `limit` bytes (the
// largest buffer the caller can allocate) or overflows.
std::optional<uint64_t> buffer_bytes(uint64_t rows, uint64_t width, uint64_t cell_bytes,
                                     uint64_t limit);

// encode_batch: width is max_length when given, else the longest row (0 for none).
uint64_t plain_width(const Rows& rows, std::optional<uint64_t> max_length);

// Fills rows.size() x width cells: each row's first min(width, len) ids with mask
// 1, the rest pad_id with mask 0. Every cell of both buffers is written.
void fill_plain(const Rows& rows, uint64_t width, uint32_t pad_id, uint32_t* ids, uint8_t* mask);

struct SpecialLayout {
  std::vector<int64_t> prefix;
  std::vector<int64_t> suffix;
  std::optional<uint64_t> max_length;
  int64_t pad_id = 0;
  bool truncation = false;
  bool pad_to_max = false;
  bool pad_left = false;
  bool trunc_left = false;

  uint64_t framing() const { return prefix.size() + suffix.size(); }
};

// The refusal text for pad_to_max with a width below prefix + suffix, or an
// empty string when the layout fits. Independent of the rows.
std::string special_layout_error(const SpecialLayout& layout);

// The row width: max_length (or 0) with pad_to_max; otherwise the longest
// truncated row plus prefix and suffix (0 for no rows).
uint64_t special_width(const Rows& rows, const SpecialLayout& layout);

// Fills rows.size() x width cells of ids and mask (mask 1 on prefix, kept content
// and suffix cells; pad_id and 0 elsewhere). Every cell of both buffers is
// written. Requires special_layout_error(layout) to be empty.
void fill_special(const Rows& rows, const SpecialLayout& layout, uint64_t width, int64_t* ids,
                  int64_t* mask);

}  // namespace quorvane::py

#include "lib/py_padding.h"

#include <algorithm>
#include <cstring>

namespace quorvane::py {

std::optional<uint64_t> buffer_bytes(uint64_t rows, uint64_t width, uint64_t cell_bytes,
                                     uint64_t limit) {
  uint64_t cells = 0;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(rows, width, &cells)) return std::nullopt;
  if (__builtin_mul_overflow(cells, cell_bytes, &bytes)) return std::nullopt;
  if (bytes > limit) return std::nullopt;
  return bytes;
}

uint64_t plain_width(const Rows& rows, std::optional<uint64_t> max_length) {
  if (max_length) return *max_length;
  uint64_t width = 0;
  for (const auto& row : rows) width = std::max<uint64_t>(width, row.size());
  return width;
}

void fill_plain(const Rows& rows, uint64_t width, uint32_t pad_id, uint32_t* ids, uint8_t* mask) {
  for (const auto& row : rows) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(width, row.size()));
    if (n > 0) std::memcpy(ids, row.data(), n * sizeof(uint32_t));
    std::fill(ids + n, ids + width, pad_id);
    std::memset(mask, 1, n);
    std::memset(mask + n, 0, width - n);
    ids += width;
    mask += width;
  }
}

std::string special_layout_error(const SpecialLayout& layout) {
  if (!layout.pad_to_max) return {};
  uint64_t width = layout.max_length.value_or(0);
  if (width >= layout.framing()) return {};
  const std::string least =
      "at least " + std::to_string(layout.framing()) + ", the number of prefix and suffix ids";
  if (!layout.max_length) {
    return "encode_special_padded: with pad_to_max, max_length must be given and " + least;
  }
  return "encode_special_padded: with pad_to_max, max_length must be " + least + ", but is " +
         std::to_string(*layout.max_length);
}

namespace {

// The content budget per row when truncating; rows are not cut otherwise.
std::optional<uint64_t> content_budget(const SpecialLayout& layout) {
  if (!layout.truncation || !layout.max_length) return std::nullopt;
  uint64_t s = layout.framing();
  return *layout.max_length >= s ? *layout.max_length - s : 0;
}

uint64_t truncated_length(uint64_t len, std::optional<uint64_t> budget) {
  return budget ? std::min(len, *budget) : len;
}

}  // namespace

uint64_t special_width(const Rows& rows, const SpecialLayout& layout) {
  if (layout.pad_to_max) return layout.max_length.value_or(0);
  if (rows.empty()) return 0;
  std::optional<uint64_t> budget = content_budget(layout);
  uint64_t longest = 0;
  for (const auto& row : rows) longest = std::max(longest, truncated_length(row.size(), budget));
  return longest + layout.framing();
}

void fill_special(const Rows& rows, const SpecialLayout& layout, uint64_t width, int64_t* ids,
                  int64_t* mask) {
  const uint64_t s = layout.framing();
  const uint64_t room = width >= s ? width - s : 0;
  const std::optional<uint64_t> budget = content_budget(layout);
  for (const auto& row : rows) {
    const uint64_t len = row.size();
    const uint64_t kept = std::min(room, truncated_length(len, budget));
    const uint32_t* first = row.data() + (layout.trunc_left && kept < len ? len - kept : 0);
    const uint64_t used = kept + s;
    const uint64_t offset = layout.pad_left ? width - used : 0;

    std::fill(ids, ids + offset, layout.pad_id);
    std::fill(mask, mask + offset, 0);
    int64_t* cell = ids + offset;
    cell = std::copy(layout.prefix.begin(), layout.prefix.end(), cell);
    cell = std::copy(first, first + kept, cell);  // u32 widens without sign
    cell = std::copy(layout.suffix.begin(), layout.suffix.end(), cell);
    std::fill(cell, ids + width, layout.pad_id);
    std::fill(mask + offset, mask + offset + used, 1);
    std::fill(mask + offset + used, mask + width, 0);
    ids += width;
    mask += width;
  }
}

}  // namespace quorvane::py

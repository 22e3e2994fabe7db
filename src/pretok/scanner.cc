#include "pretok/scanner.h"

#include "pretok/scan_kind0.h"
#include "pretok/scan_kind1.h"
#include "pretok/scan_kind2.h"

namespace quorvane {

size_t next_piece_end(ScannerSpec spec, const uint8_t* text, size_t length, size_t position) {
  // Out of contract: an empty piece, so that a stepping caller stops instead of
  // reading past the text.
  if (position >= length) return position;
  switch (spec.kind) {
    case ScannerKind::kGpt2:
      return scan::scan_kind0(spec.flag == 1, text, length, position);
    case ScannerKind::kCl100k:
      return scan::scan_kind1(spec.flag == 1, spec.digit_limit, text, length, position);
    case ScannerKind::kO200k:
      break;
  }
  return scan::scan_kind2(spec.flag == 1, spec.digit_limit, text, length, position);
}

}  // namespace quorvane

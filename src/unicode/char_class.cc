#include "unicode/char_class.h"

#include "unicode/char_lookup.h"

namespace quorvane {

bool is_letter(uint32_t cp) { return uc::letter(cp); }
bool is_mark(uint32_t cp) { return uc::mark(cp); }
bool is_number(uint32_t cp) { return uc::number(cp); }
bool is_upper_or_title(uint32_t cp) { return uc::upper_or_title(cp); }
bool is_lower(uint32_t cp) { return uc::lower(cp); }
bool is_punct_or_symbol(uint32_t cp) { return uc::punct_or_symbol(cp); }
bool is_whitespace(uint32_t cp) { return uc::whitespace(cp); }

PlainClass char_class(uint32_t cp) { return uc::plain_class(cp); }
CasedClass cased_class(uint32_t cp) { return uc::cased_class(cp); }

}  // namespace quorvane

// Loading a tokenizer.json into a `Tokenizer`.
//
// `load_tokenizer_json` reads and parses the file, refuses every configuration
// the engine does not reproduce exactly (with a message of its own), then builds
// the vocabulary tables, the merge tables and the pre-tokenizer choice.
#pragma once

#include <memory>
#include <string_view>

#include "lib/result.h"
#include "lib/tokenizer.h"

namespace quorvane {

Result<std::unique_ptr<Tokenizer>> load_tokenizer_json(std::string_view path);

// The same load from JSON text already in memory (`path` is only recorded).
Result<std::unique_ptr<Tokenizer>> load_tokenizer_json_text(std::string_view path,
                                                            std::string_view json);

}  // namespace quorvane

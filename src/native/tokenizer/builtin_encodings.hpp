#pragma once

#include "pretokenize/split_mode.hpp"
#include "tokenizer/tokenizer_model.hpp"

namespace tessel {

enum class BuiltinEncoding { cl100k_base, o200k_base };

// The encoding's process-wide tokenizer with the splitter of the mode. Both modes share
// one model, made on first use from the model image found beside the package when there
// is a valid one, otherwise built from the embedded vocabulary. Never released. Throws
// std::bad_alloc (and stays unmade) when memory runs out.
const TokenizerModel& builtin_tokenizer(BuiltinEncoding encoding,
                                        SplitMode mode = SplitMode::classic);

// Whether the encoding's model has been made.
bool builtin_tokenizer_is_made(BuiltinEncoding encoding);

// Name of the encoding ("cl100k_base" or "o200k_base").
const char* builtin_encoding_name(BuiltinEncoding encoding);

}  // namespace tessel

#pragma once

#include <cstdint>

namespace tessel {

// How a splitter reads the published pre-tokenization patterns.
//   classic: the rules of tessel.bpe.openai. A whitespace run ends after its first run of
//            line breaks, U+2019 is an apostrophe in contractions, U+180E is whitespace,
//            and in o200k_base a mark that neither a letter nor a mark follows is no word.
//   exact:   the patterns exactly as a backtracking regex engine runs them (the ids
//            tiktoken gives): a whitespace run holding line breaks ends after its last
//            one, only U+0027 is an apostrophe, U+180E is a format character, and a mark
//            that leads no longer word is a word by itself.
enum class SplitMode : uint8_t { classic, exact };

// Which encoding's rules.
enum class SplitRules : uint8_t { cl100k, o200k };

}  // namespace tessel

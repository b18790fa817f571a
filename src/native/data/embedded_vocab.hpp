#pragma once

#include <cstdint>

namespace tessel {

// A vocabulary compiled into the library: the token byte strings concatenated in id
// order, and token_count + 1 offsets with token i at [token_starts[i], token_starts[i+1]).
struct EmbeddedVocab {
  const uint8_t* token_bytes;
  const uint32_t* token_starts;
  uint32_t token_count;
  const char* name;
};

extern const EmbeddedVocab embedded_cl100k_base;
extern const EmbeddedVocab embedded_o200k_base;

}  // namespace tessel

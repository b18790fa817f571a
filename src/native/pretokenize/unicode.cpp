#include "pretokenize/unicode.hpp"

#include <array>

namespace tessel {

const uint64_t* bmp_letter_bits() {
  static const std::array<uint64_t, kBmpEnd / 64> bits = [] {
    std::array<uint64_t, kBmpEnd / 64> made{};
    for (uint32_t cp = 0; cp < kBmpEnd; ++cp) {
      if (char_class(cp) == CharClass::Letter) made[cp >> 6] |= uint64_t{1} << (cp & 63);
    }
    return made;
  }();
  return bits.data();
}

}  // namespace tessel

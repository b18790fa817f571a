#pragma once

#include <cstdint>

namespace tessel {

// The Unicode 16.0.0 general-category table (generated into unicode_categories.cpp by
// tools/gen_unicode_table.py). Two levels over blocks of 128 code points:
// block_index[cp >> 7] is the row of cp's block, and
// block_rows[row * kCategoryBlockSize + (cp & 127)] is cp's GeneralCategory value.
inline constexpr uint32_t kCategoryBlockSize = 128;
inline constexpr uint32_t kCategoryBlockCount = 0x110000 / kCategoryBlockSize;  // 8,704
inline constexpr uint32_t kCategoryRowCount = 263;

extern const uint16_t block_index[kCategoryBlockCount];
// One byte longer than the rows: the generated string literal's terminating NUL.
extern const uint8_t block_rows[kCategoryRowCount * kCategoryBlockSize + 1];

}  // namespace tessel

#pragma once

#include <cstdint>

namespace tessel {

// Token ids are 0 .. n-1; the all-ones value means "no token" in every table and result.
inline constexpr uint32_t kNoToken = 0xFFFFFFFFu;

// Result of the limited counts when the text needs more tokens than the limit.
inline constexpr uint64_t kOverLimit = 0xFFFFFFFFFFFFFFFFull;

}  // namespace tessel

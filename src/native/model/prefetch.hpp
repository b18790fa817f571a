#pragma once

// A prefetch the compiler cannot drop. GCC 12 may remove __builtin_prefetch as dead code:
// it removed every prefetch of the memo's sets (a small function of a loop of prefetches
// behind an early return), and with them what they were measured to gain, while the
// pipeline's one prefetch of a whole-token slot stayed. An asm statement stays. It takes
// the address in a register rather than as a memory operand, so the compiler need not
// assume it reads memory, and a prefetch of an address that is not mapped does nothing.

namespace tessel {

inline void prefetch_to_read(const void* at) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  asm volatile("prefetcht0 (%0)" : : "r"(at));
#else
  __builtin_prefetch(at);
#endif
}

}  // namespace tessel

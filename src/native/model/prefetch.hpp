#pragma once

// A prefetch the compiler cannot drop. GCC 12 removes __builtin_prefetch as dead code
// where the prefetches stand alone in a loop, in a branch or in a function of their own
// (all of the memo's set prefetches were gone, and with them what they were measured to
// gain). An asm statement stays; given the address in a register rather than as a memory
// operand, it keeps the compiler from assuming it reads memory (which slowed English prose
// by up to a fifth), and a prefetch of an address that is not mapped does nothing.

namespace tessel {

inline void prefetch_to_read(const void* at) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  asm volatile("prefetcht0 (%0)" : : "r"(at));
#else
  __builtin_prefetch(at);
#endif
}

}  // namespace tessel

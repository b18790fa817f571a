#pragma once

// Sizing the large arrays a model is read or derived into, when every byte of them is
// about to be written anyway.
//
// Fresh memory is mapped one 4 KiB page per fault, and in the virtual machines this
// library is often run in a fault costs about 1.5 us: faulting in the 27 MB of a model
// took longer than copying its image. Asking for transparent huge pages (where the system
// grants them on request) and populating the whole array in one call cut the first-touch
// cost of 24 MB from 33-42 ms to 10-16 ms of wall time on the 2-core development machine,
// and reading cl100k_base's image from 62 to 48 ms of CPU time (medians of 15 fresh
// processes, alternating). Both requests are hints: where they are refused, the array is
// faulted in as before.

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessel {

#if defined(__linux__)
// Gives `advice` for the whole pages of `page` bytes within [data, data + bytes).
inline void advise_whole_pages(void* data, size_t bytes, uintptr_t page, int advice) {
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t pages_begin = (begin + page - 1) & ~(page - 1);
  const uintptr_t pages_end = (begin + bytes) & ~(page - 1);
  if (pages_begin < pages_end) {
    ::madvise(reinterpret_cast<void*>(pages_begin), pages_end - pages_begin, advice);
  }
}
#endif

// Asks for transparent huge pages for the whole 2 MiB pages within [data, data + bytes),
// where the system grants them on request; a hint that may be refused.
inline void request_huge_pages(void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  advise_whole_pages(data, bytes, uintptr_t{1} << 21, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

namespace bulk_memory_detail {

// Below this, one fault per page costs too little to be worth two system calls.
inline constexpr size_t kMinBytes = size_t{1} << 21;

inline void prepare_for_filling(void* data, size_t bytes) {
  request_huge_pages(data, bytes);
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  advise_whole_pages(data, bytes, 4096, MADV_POPULATE_WRITE);
#endif
}

}  // namespace bulk_memory_detail

// Empties v and makes room for count elements, the memory of a large array mapped in bulk
// (see above), for a caller that appends them. Throws std::bad_alloc like reserve.
template <typename T>
void reserve_for_filling(std::vector<T>& v, size_t count) {
  v.clear();
  if (count * sizeof(T) >= bulk_memory_detail::kMinBytes) {
    v.shrink_to_fit();
    v.reserve(count);
    bulk_memory_detail::prepare_for_filling(v.data(), count * sizeof(T));
  } else {
    v.reserve(count);
  }
}

// v.assign(count, fill), with the memory of a large array mapped in bulk first.
template <typename T>
void assign_for_filling(std::vector<T>& v, size_t count, const T& fill = T{}) {
  reserve_for_filling(v, count);
  v.assign(count, fill);
}

}  // namespace tessel

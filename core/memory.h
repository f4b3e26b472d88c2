// Large buffers on huge pages where the system gives them on request (Linux's
// transparent huge pages in "madvise" mode, Debian's default): the walk
// reads and writes volumes at scattered places, and with 4 KiB pages every
// page costs a fault when first touched and many reads a TLB miss. Measured
// on the 181 x 217 x 181 volume: system time 0.55 s to 0.12 s, the run about
// 9 % shorter. The results do not change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zarvo {

// Asks for huge pages over the whole 2 MiB pages inside [data, data + bytes),
// before they are first touched. A hint: where it is refused nothing changes.
inline void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (first + huge - 1) & ~(huge - 1);
  const std::uintptr_t end = (first + bytes) & ~(huge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// v.resize(n), new storage advised before the resize first touches it.
template <typename T>
void resize_large(std::vector<T>& v, std::size_t n) {
  if (n > v.capacity()) {
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
  }
  v.resize(n);
}

}  // namespace zarvo

// Large buffers on huge pages where the system gives them on request (Linux's
// transparent huge pages in "madvise" mode, Debian's default): the walk
// reads and writes volumes at scattered places, and with 4 KiB pages every
// page costs a fault when first touched and many reads a TLB miss. Measured
// on the 181 x 217 x 181 volume: system time 0.55 s to 0.12 s, the run about
// 9 % shorter. The results do not change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/parts.h"
#include "zarvo/buffer.h"

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

// Sets p[0 .. n) to zero, split between `threads` threads when there is
// enough of it. The first touch of fresh pages is what costs (the kernel
// clears every page; under some hypervisors at well under 1 GB/s), and it
// is paid by the thread that touches.
template <typename T>
void zero_fill(T* p, std::size_t n, int threads) {
  static_assert(std::is_trivial_v<T>);
  constexpr std::size_t smallest = (std::size_t{4} << 20) / sizeof(T);  // 4 MiB a part
  in_parts(n, threads, smallest, [p](int, std::size_t begin, std::size_t end) {
    std::memset(static_cast<void*>(p + begin), 0, (end - begin) * sizeof(T));
  });
}

// v.reserve(n), new storage advised before it is first touched.
template <typename T, typename A>
void reserve_large(std::vector<T, A>& v, std::size_t n) {
  if (n <= v.capacity()) return;
  v.reserve(n);
  advise_huge_pages(v.data(), n * sizeof(T));
}

// v.resize(n), new storage advised before it is first touched, and what v
// grows by zeroed by up to `threads` threads.
template <typename T>
void resize_large(Buffer<T>& v, std::size_t n, int threads = 1) {
  reserve_large(v, n);
  const std::size_t old = v.size();
  v.resize(n);
  if (n > old) zero_fill(v.data() + old, n - old, threads);
}

}  // namespace zarvo

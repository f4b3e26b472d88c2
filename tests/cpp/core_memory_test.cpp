// Large buffers: whatever a buffer grows by reads as zero, whether its
// storage is fresh or was used before, and whoever many threads clear it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

#include "core/memory.h"

namespace {

bool all_zero(const zarvo::Buffer<double>& v, std::size_t from) {
  return std::all_of(v.begin() + static_cast<std::ptrdiff_t>(from), v.end(),
                     [](double x) { return x == 0.0; });
}

TEST(CoreMemory, GrownElementsAreZeroOnReusedStorage) {
  // 3 M doubles (24 MB): large enough to be cleared in parts by threads.
  const std::size_t n = std::size_t{3} << 20;
  for (int threads : {1, 2, 3, 8}) {
    SCOPED_TRACE(threads);
    zarvo::Buffer<double> v;
    zarvo::resize_large(v, n, threads);
    ASSERT_EQ(v.size(), n);
    EXPECT_TRUE(all_zero(v, 0));
    // Storage written, then shrunk (the capacity stays) and grown again:
    // the grown part must not show the old values.
    std::fill(v.begin(), v.end(), 7.0);
    zarvo::resize_large(v, 1000, threads);
    zarvo::resize_large(v, n, threads);
    EXPECT_TRUE(std::all_of(v.begin(), v.begin() + 1000, [](double x) { return x == 7.0; }));
    EXPECT_TRUE(all_zero(v, 1000));
    // Grown past its capacity: the kept part moves with it.
    zarvo::resize_large(v, n + 12345, threads);
    EXPECT_EQ(v[999], 7.0);
    EXPECT_TRUE(all_zero(v, 1000));
  }
}

TEST(CoreMemory, ClearsUnevenLengthsExactly) {
  // Lengths that do not split evenly between the threads: nothing past the
  // end is written (ASan), nothing before it is missed.
  for (std::size_t n : {std::size_t{1}, std::size_t{1} << 20, (std::size_t{1} << 21) + 7}) {
    zarvo::Buffer<float> v(n + 3, 5.0f);
    zarvo::zero_fill(v.data(), n, 3);
    EXPECT_TRUE(std::all_of(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n),
                            [](float x) { return x == 0.0f; }));
    EXPECT_TRUE(std::all_of(v.end() - 3, v.end(), [](float x) { return x == 5.0f; }));
  }
}

}  // namespace

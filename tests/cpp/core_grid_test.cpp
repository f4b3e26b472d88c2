// Voxel addressing, the reference-cube grid and the console printers.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "core/zarvo.h"

namespace {

using C3 = std::array<int, 3>;

TEST(CoreGrid, LinearIndexTakesColumnRowSlice) {
  const int dims[3] = {5, 7, 3};
  EXPECT_EQ(zarvo::get_linear_index(1, 1, 1, dims), 0);
  EXPECT_EQ(zarvo::get_linear_index(2, 1, 1, dims), 5);
  EXPECT_EQ(zarvo::get_linear_index(1, 2, 1, dims), 1);
  EXPECT_EQ(zarvo::get_linear_index(3, 4, 2, dims), 3 + 5 * (2 + 7 * 1));
}

TEST(CoreGrid, CountAndEnumerationIncludeTheBound) {
  EXPECT_EQ(zarvo::get_reference_cubes_number(4, 10, 9, 1), 12);
  EXPECT_EQ(zarvo::get_reference_cubes_number(0, 3, 3, 3), 27);
  EXPECT_EQ(zarvo::get_reference_cubes_number(4, 10, 0, 1), 0);
  EXPECT_EQ(zarvo::get_reference_cubes_number(4, 10, 9, -1), 0);
  // x {1, 3}, y {1, 2}, z {1, 3, 4}: z outermost, then x, then y.
  std::vector<C3> want;
  for (int z : {1, 3, 4})
    for (int x : {1, 3})
      for (int y : {1, 2}) want.push_back({x, y, z});
  ASSERT_EQ(zarvo::get_reference_cubes_number(2, 3, 2, 4), 12);
  for (int n = 0; n < 12; ++n) {
    C3 c{0, 0, 0};
    zarvo::get_nth_reference_cube(2, 3, 2, 4, n, &c[0], &c[1], &c[2]);
    EXPECT_EQ(c, want[n]) << "n = " << n;
  }
  C3 c{0, 0, 0};
  zarvo::get_nth_reference_cube(4, 10, 9, 1, 11, &c[0], &c[1], &c[2]);
  EXPECT_EQ(c, (C3{10, 9, 1}));
  for (int n : {12, -1}) {  // outside the grid: nothing is stored
    c = {-7, -8, -9};
    zarvo::get_nth_reference_cube(4, 10, 9, 1, n, &c[0], &c[1], &c[2]);
    EXPECT_EQ(c, (C3{-7, -8, -9})) << "n = " << n;
  }
}

}  // namespace

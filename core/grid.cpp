// The reference-cube grid.
#include "core/zarvo.h"

namespace zarvo {

int get_reference_cubes_number(int step, int x_bound, int y_bound, int z_bound) {
  int count = 0;
  walk_grid(step, x_bound, y_bound, z_bound, [&](int, int, int) { ++count; });
  return count;
}

void get_nth_reference_cube(int step, int x_bound, int y_bound, int z_bound, int n, int* x, int* y,
                            int* z) {
  // The whole grid is walked, without stopping at the n-th visit; for an n
  // outside the grid no visit matches and the targets keep their values.
  int visit = 0;
  walk_grid(step, x_bound, y_bound, z_bound, [&](int cx, int cy, int cz) {
    if (visit == n) {
      *x = cx;
      *y = cy;
      *z = cz;
    }
    ++visit;
  });
}

}  // namespace zarvo

#include "io/geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zarvo::cli {

namespace {

// The image's voxel-to-world affine, or null when its header sets none.
const nifti_dmat44* affine(const Image& im) {
  if (!im.nim) return nullptr;
  if (im.nim->sform_code > 0) return &im.nim->sto_xyz;
  if (im.nim->qform_code > 0) return &im.nim->qto_xyz;
  return nullptr;
}

}  // namespace

std::string geometry_problem(const Image& like, const Image& other) {
  const nifti_dmat44 *a = affine(like), *b = affine(other);
  if (!a || !b) return {};
  double voxel = 0, worst = 0;
  for (int c = 0; c < 3; ++c)
    voxel = std::max(voxel, std::sqrt(a->m[0][c] * a->m[0][c] + a->m[1][c] * a->m[1][c] +
                                      a->m[2][c] * a->m[2][c]));
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) worst = std::max(worst, std::fabs(a->m[r][c] - b->m[r][c]));
  const double tolerance = 1e-4 * (voxel > 0 ? voxel : 1.0);
  if (!(worst > tolerance)) return {};
  char text[200];
  std::snprintf(text, sizeof text,
                "lies elsewhere than the input: their voxel-to-world affines differ by up to "
                "%.3g mm (more than %.3g); resample it onto the input's grid",
                worst, tolerance);
  return text;
}

}  // namespace zarvo::cli

#include "io/geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

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

AffineDifference affine_difference(const Image& like, const Image& other) {
  AffineDifference d;
  const nifti_dmat44 *a = affine(like), *b = affine(other);
  if (!a || !b) return d;
  double voxel = 0;
  for (int c = 0; c < 3; ++c)
    voxel = std::max(voxel, std::sqrt(a->m[0][c] * a->m[0][c] + a->m[1][c] * a->m[1][c] +
                                      a->m[2][c] * a->m[2][c]));
  d.tolerance = 1e-4 * (voxel > 0 ? voxel : 1.0);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) {
      const double x = a->m[r][c], y = b->m[r][c], gap = std::fabs(x - y);
      d.largest = std::max(d.largest, gap);
      // A NaN entry is beyond any tolerance.
      const double allowed = std::max(d.tolerance, 1e-6 * std::max(std::fabs(x), std::fabs(y)));
      if (!(gap <= allowed)) d.beyond = true;
    }
  return d;
}

std::string check_placement(const Image& input, const Image& other, const std::string& role,
                            const std::string& path, bool allow) {
  const AffineDifference d = affine_difference(input, other);
  if (!d.beyond) return {};
  char text[400];
  if (allow) {
    std::snprintf(text, sizeof text,
                  "%s '%s' is taken voxel for voxel although its voxel-to-world affine differs "
                  "from the input's by up to %.3g mm (allow_affine_mismatch)",
                  role.c_str(), path.c_str(), d.largest);
    return text;
  }
  std::snprintf(text, sizeof text,
                "%s '%s' lies elsewhere than the input: their voxel-to-world affines differ by "
                "up to %.3g mm (more than %.3g); resample it onto the input's grid, or, if it "
                "is on that grid and only its header differs, allow the mismatch "
                "(--allow-affine-mismatch; allow_affine_mismatch=True in Python)",
                role.c_str(), path.c_str(), d.largest, d.tolerance);
  throw std::runtime_error(text);
}

}  // namespace zarvo::cli

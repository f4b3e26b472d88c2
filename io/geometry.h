// Whether two images lie on the same grid in the world: a mask or a noise
// level map must cover the input voxel for voxel, not just have its shape.
#pragma once

#include <string>

#include "io/nifti_io.h"

namespace zarvo::cli {

// How far `other`'s voxel-to-world affine (sform when set, else qform) is
// from `like`'s. An entry differing by at most 1e-4 of `like`'s largest
// voxel side, or by 1e-6 of the entry itself (float32 rounding of a header,
// an sform against a qform rebuilt from its quaternion), counts as the same.
// An image whose header sets neither affine has no place in the world and is
// taken as given.
struct AffineDifference {
  double largest = 0;    // the largest difference of an entry (mm)
  double tolerance = 0;  // 1e-4 of a voxel side (mm)
  bool beyond = false;   // some entry differs beyond its tolerance
};
AffineDifference affine_difference(const Image& like, const Image& other);

// Checks that `other` (`role` '`path`': "mask", "noise level map") lies on
// the input's grid. Beyond the tolerance: throws std::runtime_error naming
// the difference, or with `allow` returns a note naming it. Empty otherwise.
std::string check_placement(const Image& input, const Image& other, const std::string& role,
                            const std::string& path, bool allow);

}  // namespace zarvo::cli

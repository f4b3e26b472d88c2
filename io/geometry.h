// Whether two images lie on the same grid in the world: a mask or a noise
// level map must cover the input voxel for voxel, not just have its shape.
#pragma once

#include <string>

#include "io/nifti_io.h"

namespace zarvo::cli {

// What makes `other` lie elsewhere than `like` (an empty string when it
// does not): their voxel-to-world affines (sform when set, else qform)
// differ by more than 1e-4 of a voxel's size in some entry. An image whose
// header sets neither has no place in the world and is taken as given.
std::string geometry_problem(const Image& like, const Image& other);

}  // namespace zarvo::cli

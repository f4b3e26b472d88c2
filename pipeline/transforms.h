// The transform matrices the plug-ins take: orthonormal DCT-II for the slices
// and the depth, orthonormal Haar for the group dimension. All are square and
// column-major. For an orthonormal forward matrix the plug-ins' inverse
// argument is the matrix itself, so the same matrices are passed twice.
#pragma once

#include <vector>

namespace zarvo::cli {

// DCT-II of order n: row k is sqrt(2/n) cos(pi (2i + 1) k / 2n), row 0
// divided by sqrt(2) more. Computed term by term exactly as the Octave
// function does, so both front-ends pass the same bits.
std::vector<double> dct_matrix(int n);

// Haar matrix of order n (a power of two), built by the recursion
// H_2m = [kron(H_m, [1 1]); kron(I_m, [1 -1])] / sqrt(2).
std::vector<double> haar_matrix(int n);

}  // namespace zarvo::cli

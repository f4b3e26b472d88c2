// The noise level of a series, from the series as a whole: the eigenvalue
// spectrum of small patches across the volumes (the noise eigenvalues of a
// patch follow the Marchenko-Pastur law, the anatomy takes a few large ones),
// checked against the difference of the most alike pair of volumes. The
// pieces are here so that the tests can reach them; the engine's entry
// points are estimate_series_sigma() and estimate_series_sigma_map() in
// include/zarvo/pipeline.h.
#pragma once

#include <cstddef>
#include <vector>

#include "zarvo/params.h"
#include "zarvo/pipeline.h"

namespace zarvo::series_level {

// The foreground of magnitude data: a temporal mean above this many times
// the level (pure noise averages 1.25 times it).
constexpr double kBackgroundMean = 2.5;
// Fewer usable foreground patches than this and the level is left to all
// usable patches.
constexpr std::size_t kMinPatches = 10;

// The whole series in memory, as floats (half the bytes of doubles; the
// level needs no more precision), volume after volume.
struct Series {
  int rows = 0, cols = 0, slices = 0, volumes = 0;
  std::vector<float> values;
  int size(int axis) const { return axis == 0 ? rows : axis == 1 ? cols : slices; }
  std::size_t voxels() const {
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) *
           static_cast<std::size_t>(slices);
  }
  const float* volume(int t) const {
    return values.data() + voxels() * static_cast<std::size_t>(t);
  }
};

// The median (the mean of the two middle values for an even count); 0 for
// none.
double median(std::vector<double> values);

// Reads every volume in order; throws InputError for a non-finite voxel and
// Error for a series of fewer than 2 volumes.
Series load(const SeriesInput& input);

// The noise variance of a patch from the eigenvalues of its centred Gram
// matrix, largest first: the `count` eigenvalues that can be nonzero, of a
// matrix whose other side has `samples` degrees of freedom. The smallest
// number of signal components for which the rest spread no wider than white
// noise of their variance would (the Marchenko-Pastur law of the remaining
// (count - p) x (samples - p) matrix); that variance is the level's square.
struct Spectrum {
  double variance = 0;
  int signal = 0;  // components taken as signal
};
Spectrum noise_spectrum(const double* eigenvalues, int count, int samples);

// Rician magnitude with underlying level 1 and true amplitude theta: the
// variance of the magnitude (xi, from 2 - pi/2 at 0 up to 1) and its mean.
double rician_variance_factor(double theta);
double rician_mean(double theta);
// The amplitude whose magnitude has mean `mean` (0 below the mean of pure
// noise, sqrt(pi/2)).
double rician_amplitude(double mean);

// The Gaussian level of the complex noise under a magnitude patch whose
// residual variance is `variance` and whose noise-free magnitudes are about
// `means` (the patch's low-rank part): the magnitude's variance falls short of
// the level's square where the amplitude is low, by rician_variance_factor.
double rician_level(double variance, const std::vector<double>& means);

// The level of every patch on a grid over the volume. A patch is usable when
// its centre lies inside the mask (when one is given) and none of its voxels
// is 0 in every volume (masked or zero-filled background carries no noise).
struct PatchLevel {
  int row = 0, col = 0, slice = 0;  // centre voxel
  double sigma = 0;
  int signal = 0;
  bool usable = false;
};
struct PatchGrid {
  int extent[3] = {1, 1, 1};   // patch size in rows, columns, slices
  std::vector<int> starts[3];  // first voxel of the patches along each axis
};
PatchGrid patch_grid(const Series& series, int stride);
// The stride that keeps the work of the patches near a fixed budget, at
// least `finest`.
int patch_stride(const Series& series, int finest);
std::vector<PatchLevel> patch_levels(const Series& series, const PatchGrid& grid, Noise noise,
                                     const unsigned char* mask, int threads);

// Voxels of the foreground: a temporal mean above a fifth of the bright end
// (98th percentile) of the means and above `floor`, not 0 in every volume,
// inside the mask.
std::vector<unsigned char> foreground(const Series& series, const unsigned char* mask,
                                      double floor);

// The level from the most alike pair of volumes among those about as bright
// as the brightest (the ones that may repeat it): the robust spread of one
// minus the other (scaled to it) over the foreground, divided by the noise's
// gain, over the voxels where the pair's mean exceeds `floor`. An upper bound
// where no two volumes repeat (the difference then carries anatomy too); 0
// when too few voxels count.
double difference_level(const Series& series, const std::vector<unsigned char>& fg, double floor);

// One smooth level per voxel from the patch levels: a 3 x 3 x 3 median over
// the usable patches of the grid, a narrow Gaussian-weighted mean, the grid
// points still without a level filled outwards from their neighbours, and
// trilinear interpolation between the patch centres.
std::vector<double> smooth_map(const Series& series, const PatchGrid& grid,
                               const std::vector<PatchLevel>& patches);

}  // namespace zarvo::series_level

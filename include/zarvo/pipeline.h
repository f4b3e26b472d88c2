// The two-stage denoiser (hard thresholding, then Wiener shrinkage guided by
// the first stage's estimate) over a 2-D image, a 3-D volume or a 4-D series,
// for Gaussian or Rician noise: transform matrices, matching limits from the
// profile, the noise level given or estimated for the volume, and the
// chaining of the stages. Every front end (the command, the Octave function
// through its MEX gateway, Python) calls this.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zarvo/params.h"
#include "zarvo/run.h"

namespace zarvo {

// Shape of a series: rows x columns x slices x volumes; `ndims` (2 to 4) is
// the number of dimensions the caller's array has, kept for its output.
struct Shape {
  int ndims = 3;
  int rows = 1, cols = 1, slices = 1, volumes = 1;
  std::size_t volume_voxels() const {
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) *
           static_cast<std::size_t>(slices);
  }
};

enum class ElementType { float32, float64 };

// A read-only view of a caller's array of floats or doubles in any memory
// layout: strides in elements per dimension (rows, columns, slices, volumes).
struct ArrayView {
  const void* data = nullptr;
  ElementType type = ElementType::float64;
  Shape shape;
  std::array<std::int64_t, 4> strides{};

  // A packed column-major array (rows fastest, as NIfTI and Octave store it).
  static ArrayView column_major(const double* data, const Shape& shape);
  static ArrayView column_major(const float* data, const Shape& shape);
  double at(std::int64_t r, std::int64_t c, std::int64_t s, std::int64_t t) const;
  // Volume t as packed column-major doubles.
  void read_volume(int t, double* out) const;
};

// Where the pipeline takes the noisy series from, one volume at a time, as
// packed column-major doubles (so that a front end can convert from its own
// storage volume by volume, without a copy of the whole series).
struct SeriesInput {
  Shape shape;
  std::function<void(int volume, double* out)> read;
};

SeriesInput series_input(const ArrayView& view);

// An estimated level of a series: one for the whole series (pooled over its
// volumes: the noise of one receiver does not change from volume to volume),
// one per volume, or one per voxel: a smooth map estimated from the series
// (estimate_series_sigma_map), for noise that varies in space (parallel
// imaging), used as a given map is (DenoiseOptions::sigma_map) in either
// series mode.
enum class SigmaScope { series, volume, voxel };

// How a 4-D series is filtered: every volume on its own, or jointly (a
// transform along the volumes adapted to the series, then the 3-D stages on
// its component images, then back).
//
// Joint: every volume is brought to unit noise (divided by its level, or for
// Rician noise stabilised at it), the series is turned into the component
// images of its principal axes along the volumes (uncentred, inside the
// mask; an orthonormal transform, so the noise stays white at level 1), each
// component image goes through the stages at level 1, and the series is
// rebuilt and taken back to the data's units (for Rician noise with the
// exact unbiased inverse, so that volumes of low signal are not lifted by
// the noise floor). The series is held once, in single precision: 4 bytes
// per voxel of the series, besides the buffers of the component images being
// filtered (as for volumes). The events count component images in place of
// volumes. With a level map (given or estimated) every voxel is brought to
// unit noise at its own level and back (a voxel whose level is 0 carries no
// noise and keeps its value). A single volume is filtered as in `volumes`.
// Spatially small signals of a few percent (an fMRI
// activation) fall into the components of noise and are partly filtered
// away (for a time series those components are ordered by smoothness along
// the volumes, which keeps more of a slow one): for those, `volumes`.
enum class SeriesMode { volumes, joint };

struct DenoiseOptions {
  Noise noise = Noise::gaussian;
  Params params = default_params();
  // Noise standard deviation in the data's units: empty to estimate it, one
  // value for every volume, or one per volume.
  std::vector<double> sigma;
  SigmaScope sigma_scope = SigmaScope::series;
  SeriesMode series = SeriesMode::volumes;
  // A level per voxel, one volume for the whole series or one per volume
  // (levels >= 0): Rician noise in series mode volumes (the stages take it
  // group by group), either noise model in series mode joint. Null: none
  // (sigma_scope voxel estimates one).
  const SeriesInput* sigma_map = nullptr;
  // Where to denoise: one byte per voxel of one volume (packed column-major,
  // nonzero inside), of the spatial shape `mask_shape`. The level is
  // estimated inside it, only the reference cubes that touch it are filtered,
  // and every voxel outside keeps the input's value exactly. Empty: the
  // whole volume.
  std::vector<unsigned char> mask;
  Shape mask_shape;
  bool basic_only = false;  // stop after the first stage
  bool noise_map = false;   // also produce the noise map
  // Files only (arrays have no affine): a mask or level map file whose
  // affine differs from the input's is taken voxel for voxel, not refused.
  bool allow_affine_mismatch = false;
};

// map: a given level map; estimated_map: one estimated from the series
// (sigma_scope voxel).
enum class SigmaSource { given, estimated, map, estimated_map };

struct VolumeReport {
  // The level of the volume in image units: given, estimated, or (with a
  // map, given or estimated) the map's median, from which the matching
  // limits are set.
  double sigma = 0;
  SigmaSource source = SigmaSource::given;
  bool per_group = false;  // the stages estimated a level for every group
};

struct DenoiseReport {
  Params params;        // as used (cube side and depth limited to the image)
  bool pooled = false;  // one level estimated for the whole series
  std::vector<VolumeReport> volumes;
  // What the run found that the user should know about its result, one
  // sentence each (front ends print or pass them on as they are).
  std::vector<std::string> notes;
};

// Receives every denoised volume in order, as packed column-major doubles,
// and its noise map when asked for (else null): the noise standard deviation
// the last stage used at every voxel (the given or estimated level, the map,
// or with per-group estimation the mean of the group levels that reached the
// voxel, 0 where none did). Not a residual. The buffers are reused after it
// returns.
using VolumeSink = std::function<void(int volume, const double* estimate, const double* noise_map)>;

// What the pipeline tells as it goes; every member may be empty.
struct PipelineEvents {
  // A volume's level is known; called before its stages run.
  std::function<void(int volume, const VolumeReport& report)> level;
  // A stage of a volume starts (stage 0 of `stages`, named "hard
  // thresholding" or "Wiener"). In the joint series mode: of a component
  // image, numbered as the volumes are. Told once per volume and stage, in
  // the order the run takes them (the joint mode's components take their
  // first stage together, then their second): the events' count is the
  // run's progress.
  std::function<void(int volume, int stage, int stages, const char* name)> stage;
  // Something the caller may want to tell (fewer threads than asked, and why).
  std::function<void(const std::string& text)> note;
};

// Checks the options against the input's shape; throws Error naming the
// problem. denoise() calls it first.
void check(const Shape& shape, const DenoiseOptions& options);

// The smallest noise level the arithmetic supports for data whose largest
// magnitude is `largest`: the stages work on the data divided by a power of
// two near the level, which must leave them finite with room for the
// stages' own arithmetic: largest / 2^1000 (about 1e-301 of it), and never
// below 2^-1021 (about 4.5e-308, where that divisor stops being invertible).
double smallest_level(double largest);

// What stops data whose values span [lo, hi] from being denoised with
// `options` (an empty string when nothing does): a given level below
// smallest_level, Rician noise (magnitudes) on data with no positive value.
// Front ends that know the range before the work call it then.
std::string data_problem(const DenoiseOptions& options, double lo, double hi);

// Denoises every volume of the input in order. Throws Error (bad input or
// options, with a message naming the problem) or Cancelled.
DenoiseReport denoise(const SeriesInput& input, const DenoiseOptions& options,
                      const VolumeSink& sink, const RunContext& context = {},
                      const PipelineEvents& events = {});

// The noise level of one volume (packed column-major doubles), as denoise()
// estimates it when no level is given: from the finest wavelet detail of the
// blocks that carry noise (inside the mask, when one is given: one byte per
// voxel, nonzero inside). Throws Error when no level can be estimated (a
// constant or noise-free image, too few blocks that carry noise).
double estimate_sigma(const double* volume, const Shape& shape, Noise noise,
                      const unsigned char* mask = nullptr);

// One level for every volume of a series together (pooled), or one per
// volume (scope volume), as denoise() estimates them (scope voxel: an Error,
// see estimate_series_sigma_map). Up to `threads`
// threads sample volumes side by side (input.read is called by one at a
// time); the levels do not depend on their number.
std::vector<double> estimate_sigmas(const SeriesInput& input, Noise noise, SigmaScope scope,
                                    const unsigned char* mask = nullptr, int threads = 1);

// The noise level of a series from the series as a whole, for series whose
// volumes share one anatomy (diffusion, functional): the median over small
// patches (5 x 5 x 5 voxels; 3 x 3 x 3 past 80 volumes) of the level their
// eigenvalue spectrum across the volumes shows (the noise eigenvalues follow
// the Marchenko-Pastur law, the anatomy takes a few large ones), in the
// foreground (temporal mean above a fifth of its 98th percentile, and for
// magnitude data above 2.5 times the level of all patches) and
// centred inside `mask` (one byte per voxel of one volume, nonzero inside)
// when one is given; patches that touch voxels 0 in every volume (masked
// background) do not count. Checked against the difference of the most alike pair of volumes
// (among those about as bright as the brightest, such as the b0 volumes):
// that bounds the level from above (it carries anatomy unless the volumes
// repeat), and replaces the spectrum's level when that is more than 10 %
// higher. Rician: the Gaussian level of the underlying complex noise (the
// magnitude's shrinking variance at low amplitude corrected in every patch;
// pairs compared only where the magnitude is well above the level).
// Needs at least 2 volumes; reads the series once and holds it as floats (4
// bytes per voxel and volume). Up to `threads` threads; the level does not
// depend on their number. Throws Error when no level can be found.
enum class SeriesLevelMethod { local_pca, volume_differences };
struct SeriesLevel {
  double sigma = 0;  // the level, in the data's units
  SeriesLevelMethod method = SeriesLevelMethod::local_pca;
  double pca_sigma = 0;         // the patches' level (0: no usable patch)
  double difference_sigma = 0;  // the most alike pair's (0: no pair to compare)
  std::size_t patches = 0;      // patches the median was taken over
};
SeriesLevel estimate_series_sigma(const SeriesInput& input, Noise noise,
                                  const unsigned char* mask = nullptr, int threads = 1);

// The level as it varies in space (parallel imaging): one smooth 3-D map of
// the volume's shape (packed column-major), from the same patch levels on a
// grid, a 3 x 3 x 3 median of neighbouring patches, light Gaussian smoothing
// (0.7 patch spacings), the points without a usable patch (outside `mask`,
// no noise) filled outwards from their neighbours, and trilinear
// interpolation. Takes the place of a given level map
// (DenoiseOptions::sigma_map).
std::vector<double> estimate_series_sigma_map(const SeriesInput& input, Noise noise,
                                              const unsigned char* mask = nullptr, int threads = 1);

// The transform matrices the stages take, column-major: orthonormal DCT-II
// of order n (slices and depth), orthonormal Haar of order n, a power of two
// (the group dimension).
std::vector<double> dct_matrix(int n);
std::vector<double> haar_matrix(int n);

}  // namespace zarvo

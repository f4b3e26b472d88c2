// Global noise level of a volume (or of a whole series), for the matching
// limit in adaptive mode (the plug-ins estimate the level of every group
// themselves, but the matching limit must be known before the walk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zarvo/params.h"

namespace zarvo::level {

// What the estimate found. When `ok` is false, `sigma` is 0 and `problem`
// says why in a few words (to follow "the noise level cannot be estimated").
struct LevelEstimate {
  double sigma = 0.0;      // standard deviation, in image units
  std::size_t blocks = 0;  // blocks the level was measured on
  bool ok = false;
  std::string problem;
};

// Median absolute deviation of the finest diagonal wavelet detail: over the
// non-overlapping 2 x 2 x 2 blocks (2 x 2 for a single slice), the Haar
// coefficient with alternating signs, which cancels any locally linear
// signal, then median(|d|) / 0.6744897501960817.
//
// Only blocks that carry noise count. Masking, skull stripping and
// zero-filling leave regions of one exact value whose detail is 0; if they
// counted, a background of more than half the volume would give a level of 0
// and a smaller one would pull the level down. Integer data with a little
// noise has equal neighbours everywhere too, but its runs are porous. So a
// block is dropped when any of its voxels is background: in a solid run (a
// face-connected region of one value, of at least 64 voxels, at least 90 %
// of whose voxels lie in a 3 x 3 square of equal values in some axis plane),
// or equal to a face neighbour and of the value of a solid run. With `mask`
// (nonzero = inside, the volume's spatial shape, same layout), only blocks
// entirely inside it count.
//
// Integer data (or integers times a scale) gives details on a lattice, whose
// median would move in steps of the lattice. There each |d| is spread over
// the lattice cell it was rounded from (at a fixed pseudo-random place), so
// the median interpolates within the cell and rises smoothly with the level.
// The level includes the rounding's own noise (variance 1/12 unit^2): it is
// noise the denoiser removes as well.
//
// Magnitude (Rician) data: the spread of a magnitude is sigma^2 xi(theta),
// below sigma^2 where the signal-to-noise ratio theta is low (0.43 sigma^2 in
// a Rayleigh background). Every block's detail is divided by sqrt(xi) at the
// theta that the mean of its neighbourhood (the usable blocks among the
// 3 x 3 x 3 around it, 5 x 5 in a slice) gives, and the median is taken again, until the level
// settles (from 1000 blocks on; fewer keep the first level); so dark blocks
// count at their own spread and no pass is limited to the bright, textured
// ones. The part of a neighbourhood mean's excess over pure noise that its
// own noise could explain is not counted as signal, so Rayleigh air counts
// as air.
//
// Texture: anatomy fine enough to reach the diagonal detail fills the
// block's other Haar details too, noise fills them only as much. Where the
// noise is white (the blocks kept hold about the level squared in their
// other details, at most 1.2 times), the median is over the blocks whose
// neighbourhood's other details hold at most 1.5 times their median energy;
// correlated noise (more in the other details) keeps every block.
//
// No level (ok = false) when the volume has fewer than 2 rows or columns,
// when fewer than 100 blocks are usable, or when the detail is below a
// millionth of the intensity (a noise-free or constant image). Everything is
// relative to the data, so scaling the volume scales the level.
LevelEstimate estimate_level(const double* volume, int rows, int cols, int slices, Noise noise,
                             const std::uint8_t* mask = nullptr);

// One level for a series of volumes of the same shape, from the blocks of all
// of them together (the same median, not a mean of per-volume levels).
// `series` holds `volumes` volumes one after another; `mask`, if any, has the
// spatial shape of one volume and applies to every volume.
LevelEstimate estimate_series_level(const double* series, int rows, int cols, int slices,
                                    int volumes, Noise noise, const std::uint8_t* mask = nullptr);
LevelEstimate estimate_series_level(const std::vector<const double*>& volumes, int rows, int cols,
                                    int slices, Noise noise, const std::uint8_t* mask = nullptr);

// The same, one volume at a time, so that a series need not be held whole:
// add() every volume, then estimate().
class LevelSampler {
 public:
  LevelSampler(int rows, int cols, int slices, const std::uint8_t* mask = nullptr);
  ~LevelSampler();
  void add(const double* volume);
  // Takes over the volumes another sampler of the same shape was given (the
  // estimate does not depend on the order volumes were added in).
  void merge(LevelSampler& other);
  LevelEstimate estimate(Noise noise) const;

 private:
  int rows_, cols_, slices_;
  const std::uint8_t* mask_;
  int volumes_ = 0;
  std::unique_ptr<struct Samples> samples_;
};

// The level, or zarvo::Error "the noise level cannot be estimated from
// <what> (<problem>); give the noise level" (each front end adds how).
double require_level(const LevelEstimate& estimate, const std::string& what);

// Median of the finite values v[0 .. n) (the mean of the two middle values
// for an even count; 0 for none): the same middle value as the engine's
// selection (the lower one for an even count, which the plug-ins' group
// estimates use), by counting the values' leading bits, so that millions of
// samples cost two passes. v is only read.
double median(const double* v, std::size_t n);

// The level a map of n voxels stands for (the volume's level where a map is
// given or estimated): its median; a zarvo::Error when a level is negative,
// NaN or infinite.
double map_level(const double* map, std::size_t n);

}  // namespace zarvo::level

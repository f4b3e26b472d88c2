// The stages of the joint series mode on groups of four dimensions: the
// same matched cubes in every component image form one matrix, (cube
// voxels x cubes) x components. Cubes matched for looking alike share far
// fewer directions along the volumes than the whole series does, so each
// group is turned into its own principal axes along the components (the
// local basis); the axes that carry signal are filtered in space like a
// component image (their 3-D group spectra hard thresholded, or Wiener
// shrunk against a pilot's along the same axes) and the others are dropped;
// the group goes back through its basis and is aggregated into every
// component image, with the group's weight (the inverse of the
// coefficients kept, or of the sum of the squared Wiener factors), times a
// window over the cube in the component images from a given one on.
#pragma once

#include <vector>

#include "volume_transform.h"
#include "zarvo/run.h"
#include "zarvo/stages.h"

namespace zarvo {

struct AcrossSettings {
  double threshold = 3.0;  // of the local axes' spectra, in units of the noise level (1)
  // With a pilot: the local axes kept are those along which the pilot's
  // mean square per voxel is above this (in units of the noise's variance).
  double pilot_floor = 0.2;
  // The local axes are taken within the first `span` component images (0:
  // all of them); the others are dropped where a group reaches.
  int span = 0;
  // From component image `window_from` on (-1: none), each group's estimate
  // is aggregated with its weight times a Kaiser window of `window_beta`
  // over the cube (the product of one along each side), so that a voxel
  // takes more from the groups whose cubes hold it near their centre; the
  // images before it take the group's weight alone.
  int window_from = -1;
  double window_beta = 2.0;
};

// The Kaiser window of `beta` over a cube of `side` x `side` x `depth`
// voxels, in the order of a cube's voxels (slice by slice, each slice
// column-major): the product of the window along each side, I0(beta
// sqrt(1 - x^2)) / I0(beta) at x from -1 to 1. 1 everywhere for beta 0 and
// along a side of one voxel.
std::vector<double> kaiser_window(int side, int depth, double beta);

// Every component image of `from` (at unit noise) filtered on the groups
// of `groups` into `to` (same size; voxels no group reaches keep `from`'s
// values). Without a pilot: hard thresholding, the local basis the group's
// own, the axes kept those above the noise edge. With one (a first
// estimate of the same series): Wiener shrinkage, the local basis the
// pilot's, the axes kept those of settings.pilot_floor. `to` may be the
// pilot (a slice is written once no group reads it). With settings.span,
// only the first `span` component images are filtered; the others become 0
// wherever a group reaches. Up to `threads` threads, to the same bits
// whatever their number. Throws Error when the table does not fit the
// geometry or an eigen-decomposition fails.
// Memory beyond the stores: the sums of the component images filtered (the
// span, padded to a multiple of 8) over a band of 2 x search + cube depth
// slices (4 bytes a voxel each) and the weights (8 bytes), the same band of
// their images in `from` (and in the pilot) held voxel by voxel (4 bytes a
// voxel and component each, padded alike), and a batch of filtered groups.
void filter_across(const stages::Geometry& geometry, const stages::Transforms& transforms,
                   const stages::GroupTable& groups, const AcrossSettings& settings,
                   const SeriesStore& from, const SeriesStore* pilot, SeriesStore& to, int threads);

// The noise edge of the Gram matrix X'X of an m x n matrix X of white noise
// of unit level: its eigenvalues lie below (sqrt(m) + sqrt(n))^2.
double noise_edge(int m, int n);

}  // namespace zarvo

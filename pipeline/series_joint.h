// The joint series mode: a series transformed along its volumes into
// component images (volume_transform.h), the 3-D stages on every component
// image, and back.
#pragma once

#include <cstddef>

#include "zarvo/pipeline.h"

namespace zarvo {

// Denoises a series of two or more volumes jointly, for denoise() (which
// has checked the options and fitted the parameters `report.params` to the
// image); fills the rest of `report`. Runs the phases of
// zarvo/joint_phases.h one after another, in memory of its own. The events count component images:
// `stage` is told for component k (0 .. volumes - 1) in place of volume k.
//
// With a level map (options.sigma_map, given or estimated: `map_estimated`)
// every voxel goes to unit noise at its own level.
//
// Memory: the series is held twice, in single precision (8 bytes per voxel
// of the series: the components being filtered in place, and the input's
// components for the residual); besides them the leading component
// images the groups are matched on (40 bytes per voxel of a volume), the
// groups of both stages (6 bytes per cube of a group per reference cube:
// about 11 bytes per voxel of a volume with the default profile), across
// the aggregation band of 2 x search + depth slices the sums of the
// components filtered across and their values in the input and in the
// pilot (12 bytes per component per voxel; at most every component, fewer
// where the local axes are taken within a span of them) and each thread's
// batch of groups filtered across the components (run_limits.cpp counts
// them all).
void denoise_joint(const SeriesInput& input, const DenoiseOptions& options, const VolumeSink& sink,
                   const RunContext& context, const PipelineEvents& events, DenoiseReport& report,
                   bool map_estimated = false);

// The level of every volume of a series in the data's units: given (one for
// the series, or one per volume), estimated, or with a level map the map's
// median (its source in the report: map, or estimated_map when
// `map_estimated`). The joint mode's one place where the series level is
// estimated.
std::vector<double> series_levels(const SeriesInput& input, const DenoiseOptions& options,
                                  int threads, DenoiseReport& report, bool map_estimated = false);

// `image` (n values) scaled to a root mean square of 1; an image of zeros
// (or one whose mean square is not finite) is left as it is. The second
// stage matches its groups on the first estimates of the leading components
// each scaled so: summed as they are, the first component (the series'
// mean level, in a diffusion series hundreds of times the others' energy)
// decides the match alone, and cubes alike in level but not in the
// components that carry the anisotropy share a group. Measured on a
// simulated two-shell diffusion series (SNR 20): FA error 0.8 % lower, DW
// 0.4 %, the residual's anatomy slightly lower, b0 0.5 % higher; the first
// stage's noisy guides scaled too cut FA by 1.1 % but raised b0 by 1.2 %.
void to_unit_rms(double* image, std::size_t n);

}  // namespace zarvo

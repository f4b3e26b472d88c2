// The joint series mode: a series transformed along its volumes into
// component images (volume_transform.h), the 3-D stages on every component
// image, and back.
#pragma once

#include "zarvo/pipeline.h"
#include "zarvo/stages.h"

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
void denoise_joint(const SeriesInput& input, const DenoiseOptions& options,
                   const stages::Transforms& transforms, const VolumeSink& sink,
                   const RunContext& context, const PipelineEvents& events, DenoiseReport& report,
                   bool map_estimated = false);

// The level of every volume of a series in the data's units: given (one for
// the series, or one per volume), estimated, or with a level map the map's
// median (its source in the report: map, or estimated_map when
// `map_estimated`). The joint mode's one place where the series level is
// estimated.
std::vector<double> series_levels(const SeriesInput& input, const DenoiseOptions& options,
                                  int threads, DenoiseReport& report, bool map_estimated = false);

}  // namespace zarvo

// The joint series mode (SeriesMode::joint) in its two phases, for a front
// end that holds the series between them outside the process's heap (a
// file mapped into memory, say) or runs them as separate tasks:
//
//   joint_prepare   the levels (one per volume, or a level map), the basis
//                   along the volumes, the series turned into its component
//                   images, and every component image filtered: the groups,
//                   matched on the leading components together, are
//                   filtered across all the components at once (so the
//                   components cannot be filtered apart);
//   joint_finish    what the filtering left in the residual taken back, the
//                   component images back into volumes in the data's units,
//                   handed to a sink in order.
//
// denoise() runs these same phases one after another, so a series put
// together from them holds the same bits as denoise() gives with the same
// options, whatever the processes and threads.
//
// Between the phases the series lives in the caller's memory, twice:
// `prepared` and `filtered` are each volumes x voxels-per-volume floats,
// one component image after another, each packed column-major (they may be
// files mapped into memory). `prepared` holds the input's component images
// (written by joint_prepare; joint_finish turns it into the residual);
// `filtered` the filtered ones (written by joint_prepare).
#pragma once

#include <string>
#include <vector>

#include "zarvo/pipeline.h"

namespace zarvo {

// What joint_prepare found and the later phases take: every volume's level
// (as DenoiseReport::volumes), the level map it estimated (voxels of one
// volume; empty when the levels were given or one per volume), the basis
// (column k of `axes`, volumes x volumes column-major, the axis of
// component k; `moments[k]` the series' sum of squares along it, largest
// first up to `smooth_from`).
struct JointPlan {
  std::vector<VolumeReport> volumes;
  bool pooled = false;  // one level estimated for the whole series
  std::vector<double> level_map;
  std::vector<double> axes;
  std::vector<double> moments;
  // The first of the axes ordered by smoothness along the volumes rather
  // than by moment (a time series); the number of volumes when none are.
  int smooth_from = 0;
};

// Checks the input and the options as denoise() does (Error when they are
// not for the joint mode: SeriesMode::joint and two volumes or more), sets
// the levels (events.level tells each), reads the input once, writes its
// component images into `prepared` and every one filtered into `filtered`
// (events.stage tells every component's stages).
JointPlan joint_prepare(const SeriesInput& input, const DenoiseOptions& options, float* prepared,
                        float* filtered, const RunContext& context = {},
                        const PipelineEvents& events = {});

// Once every component image is filtered: both regions overwritten (the
// residual, the volumes) and every volume handed to `sink` in the data's
// units, as denoise() hands them (outside the mask and where the level is 0
// the input's own values, read again). `options` as given to joint_prepare,
// a given level map included (the plan keeps only an estimated one).
// Returns the report denoise() would return.
DenoiseReport joint_finish(const SeriesInput& input, const DenoiseOptions& options,
                           const JointPlan& plan, float* prepared, float* filtered,
                           const VolumeSink& sink, const RunContext& context = {});

// The parameters the stages ran with on `plan`'s series (as the report of
// joint_finish gives them): `params` as used on the series' shape, with the
// joint mode's cube depth (Params::joint_depth) unless the plan found a
// time series.
Params joint_params(const Params& params, const JointPlan& plan);

// What a run on `plan` tells the user about its result (the notes of the
// report joint_finish returns): on a time series (smooth_from before the
// last volume), that a weak slow signal such as a task activation may come
// out attenuated, which the volume-by-volume mode keeps.
std::vector<std::string> joint_notes(const JointPlan& plan);

}  // namespace zarvo

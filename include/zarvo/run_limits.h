// Limits of a run that follow from the image and the machine rather than
// from fixed numbers: the matching window and the groups it can hold, and
// the memory the run's buffers take, checked before any filtering.
#pragma once

#include <string>
#include <vector>

#include "zarvo/pipeline.h"

namespace zarvo {

// The cubes one matching window can hold at most (every position of a
// window of half-width p.search inside a volume of `s`, the cube limited
// to the image): a larger group is never filled.
long window_cubes(const Shape& s, const Params& p);

// The parameters a run of `s` uses when `asked` exceeds what the image
// allows: the cube limited to the image, the search half-width to the
// volume's largest extent (a wider window is the whole volume). The
// results are those of `asked`.
Params used_params(const Shape& s, const Params& asked);

// Notes about what the image limited or made pointless (for a front end
// to show): the cube, the depth and the search half-width limited, a group
// larger than the window holds.
std::vector<std::string> limit_notes(const Shape& s, const Params& asked);

// An estimate of the bytes the engine's buffers that grow with the run
// take for `s` with `o` on `threads` walk threads: the volumes in flight,
// the aggregation bands, the groups and matching distances of every thread.
// The fixed part (tables, kernels, code: some tens of MB) is not counted;
// on a 160 x 160 x 96 volume with the default profile and 2 threads it
// gives 90 MB where the whole process peaks at 86 MB.
double memory_needed(const Shape& s, const DenoiseOptions& o, int threads);

// The memory the process can still use, in bytes: the smaller of
// MemAvailable, the cgroup's limit left and the address space left under
// RLIMIT_AS; `source` names the one that limits. Negative: not known.
double memory_available(std::string& source);

// Throws OptionError naming the option to lower (threads, group1/group2,
// search, cube, or the mode) when memory_needed exceeds memory_available,
// with both amounts; nothing when the memory is not known.
void check_memory(const Shape& s, const DenoiseOptions& o, int threads);

}  // namespace zarvo

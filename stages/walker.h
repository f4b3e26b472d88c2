// The walk over reference cubes that filters every group and aggregates the
// results in the walk's own order. With more than one thread (stand-alone
// engine only; a MEX host always walks on its calling thread) worker threads
// filter the groups of a batch ahead while aggregation stays in order, so the
// output is bit for bit the single-threaded output.
#pragma once

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "progress.h"
#include "stage.h"

namespace zarvo::stages {

// Threads for the walks of this process (at least 1; 1 by default). Ignored
// in MEX builds.
void set_walk_threads(int threads);
int walk_threads();

namespace detail {

// One filtered group kept until its turn to be aggregated.
struct Slot {
  std::vector<double> estimate;
  std::vector<std::uint16_t> positions;
  GroupResult result;
};

inline void keep(const Geometry& g, const GroupResult& r, Slot& slot) {
  const std::size_t n = static_cast<std::size_t>(r.L) * g.cube_len;
  std::memcpy(slot.estimate.data(), r.estimate, n * sizeof(double));
  std::memcpy(slot.positions.data(), r.positions, 3 * static_cast<std::size_t>(r.L) * 2);
  slot.result = r;
  slot.result.estimate = slot.estimate.data();
  slot.result.positions = slot.positions.data();
}

}  // namespace detail

// Calls filter(x, y, z, sigma, workspace, result) for every reference cube
// and aggregates each result. `sigma` is the level carried from group to
// group: after the first group it no longer changes except where a group
// sets it afresh (adaptive mode), so every later group starts from the value
// the first group left.
template <typename Filter>
void filter_and_aggregate(const Geometry& g, StageKind kind, double sigma, Filter&& filter,
                          Accumulators& acc) {
  ProgressReport progress(reference_cubes(g));
  const int threads = walk_threads();
  Workspace w = allocate_workspace(g, kind);
  GroupResult r;
  if (threads <= 1) {
    walk(g, [&](int x, int y, int z) {
      filter(x, y, z, sigma, w, r);
      aggregate(g, r, acc);
      progress.step();
    });
    progress.finish();
    return;
  }

  std::vector<int> cubes;  // x, y, z of every reference cube, in walk order
  walk(g, [&](int x, int y, int z) { cubes.insert(cubes.end(), {x, y, z}); });
  const int total = static_cast<int>(cubes.size() / 3);
  if (total == 0) {
    progress.finish();
    return;
  }
  filter(cubes[0], cubes[1], cubes[2], sigma, w, r);
  aggregate(g, r, acc);
  progress.step();
  const double carried = sigma;

  std::vector<Workspace> workspaces{w};
  for (int t = 1; t < threads; ++t) workspaces.push_back(allocate_workspace(g, kind));
  const int batch = 64 * threads;
  std::vector<detail::Slot> slots(static_cast<std::size_t>(batch));
  for (auto& s : slots) {
    s.estimate.resize(static_cast<std::size_t>(g.nm2) * g.cube_len);
    s.positions.resize(3 * static_cast<std::size_t>(g.nm2));
  }
  for (int first = 1; first < total; first += batch) {
    const int count = total - first < batch ? total - first : batch;
    std::atomic<int> next{0};
    auto work = [&](int t) {
      GroupResult local;
      for (int i = next++; i < count; i = next++) {
        const int* c = &cubes[3 * static_cast<std::size_t>(first + i)];
        double level = carried;
        filter(c[0], c[1], c[2], level, workspaces[t], local);
        detail::keep(g, local, slots[i]);
      }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(work, t);
    work(0);
    for (auto& th : pool) th.join();
    for (int i = 0; i < count; ++i) {
      aggregate(g, slots[i].result, acc);
      progress.step();
    }
  }
  progress.finish();
}

}  // namespace zarvo::stages

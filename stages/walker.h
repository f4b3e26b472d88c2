// The walk over reference cubes that filters every group and aggregates the
// results in the walk's own order. With more than one thread, worker threads
// filter groups ahead into a ring of slots while the calling thread
// aggregates them strictly in walk order (and filters too whenever the next
// group to aggregate is not ready yet), so the output is bit for bit the
// single-threaded output.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "progress.h"
#include "stage.h"

namespace zarvo::stages {

namespace detail {

// One filtered group kept until its turn to be aggregated. `ready` holds the
// walk index of the group the slot carries (-1: none yet); each slot sits on
// its own cache lines.
struct alignas(64) Slot {
  std::atomic<long> ready{-1};
  std::vector<double> estimate;
  std::vector<std::uint16_t> positions;
  GroupResult result;
};

inline void keep(const Geometry& g, const GroupResult& r, Slot& slot) {
  const std::size_t n = static_cast<std::size_t>(r.L) * g.cube_len;
  std::memcpy(slot.estimate.data(), r.estimate, n * sizeof(double));
  std::memcpy(slot.positions.data(), r.positions,
              3 * static_cast<std::size_t>(r.L) * sizeof(std::uint16_t));
  slot.result = r;
  slot.result.estimate = slot.estimate.data();
  slot.result.positions = slot.positions.data();
}

// Normalises the accumulators' slices into the output as soon as no later
// group can reach them: before a group of reference slice z is aggregated,
// every slice before z - reach is final.
class Flusher {
 public:
  Flusher(const Geometry& g, Accumulators& acc, const Output& out)
      : g_(g), acc_(acc), out_(out), reach_(matching_reach(g)),
        slices_(g.ndims == 3 ? g.dims[2] : 1) {}
  void before(int z) {
    const int last = z - reach_ - 1;
    if (last > flushed_) {
      normalise(acc_, out_, flushed_ + 1, last);
      flushed_ = last;
    }
  }
  void finish() {
    if (slices_ > flushed_) normalise(acc_, out_, flushed_ + 1, slices_);
    flushed_ = slices_;
  }

 private:
  const Geometry& g_;
  Accumulators& acc_;
  const Output& out_;
  int reach_, slices_;
  int flushed_ = 0;
};

}  // namespace detail

// Calls filter(x, y, z, sigma, workspace, result) for every reference cube,
// aggregates each result and normalises every slice into `out` once it is
// final (so the accumulators need only hold a band of slices). `sigma` is the level carried from group to
// group: after the first group it no longer changes except where a group
// sets it afresh (adaptive mode), so every later group starts from the value
// the first group left.
//
// The context's thread count is limited to the number of reference cubes.
// Cancellation (Cancelled, thrown on the calling thread) stops the workers
// before it leaves.
template <typename Filter>
void filter_and_aggregate(const Geometry& g, StageKind kind, double sigma, Filter&& filter,
                          Accumulators& acc, const Output& out, const RunContext& context) {
  detail::Flusher flusher(g, acc, out);
  const long cubes_total = reference_cubes(g);
  ProgressReport progress(cubes_total, context);
  int threads = walk_threads(context);
  if (threads > cubes_total) threads = static_cast<int>(cubes_total > 0 ? cubes_total : 1);
  std::vector<Workspace> workspaces;
  workspaces.reserve(static_cast<std::size_t>(threads));
  workspaces.push_back(allocate_workspace(g, kind));
  Workspace& w = workspaces[0];
  GroupResult r;
  if (threads <= 1) {
    walk(g, [&](int x, int y, int z) {
      filter(x, y, z, sigma, w, r);
      flusher.before(z);
      aggregate(g, r, acc);
      progress.step();
    });
    flusher.finish();
    progress.finish();
    return;
  }

  std::vector<int> cubes;  // x, y, z of every reference cube, in walk order
  cubes.reserve(3 * static_cast<std::size_t>(cubes_total));
  walk(g, [&](int x, int y, int z) { cubes.insert(cubes.end(), {x, y, z}); });
  const long total = static_cast<long>(cubes.size() / 3);
  if (total == 0) {
    flusher.finish();
    progress.finish();
    return;
  }
  filter(cubes[0], cubes[1], cubes[2], sigma, w, r);
  flusher.before(cubes[2]);
  aggregate(g, r, acc);
  progress.step();
  const double carried = sigma;

  // Everything the walk needs is set up here; inside it nothing is
  // allocated. A group may be filtered once the group `ring` places before
  // it has been aggregated, which frees its slot.
  for (int t = 1; t < threads; ++t) workspaces.push_back(allocate_workspace(g, kind));
  const long ring = 64L * threads;
  std::unique_ptr<detail::Slot[]> slots(new detail::Slot[static_cast<std::size_t>(ring)]);
  for (long i = 0; i < ring; ++i) {
    slots[i].estimate.resize(static_cast<std::size_t>(g.nm2) * g.cube_len);
    slots[i].positions.resize(3 * static_cast<std::size_t>(g.nm2));
  }
  alignas(64) std::atomic<long> next{1};        // next group to filter
  alignas(64) std::atomic<long> aggregated{1};  // groups aggregated so far

  // A thread with nothing to do sleeps instead of spinning (the machine may
  // be shared): workers while the ring is full, the calling thread while the
  // group it needs next is still being filtered. Whoever changes what a
  // sleeper waits for wakes it; the flags keep that free when nobody sleeps.
  std::mutex sleep_mutex;
  std::condition_variable room, arrived;
  std::atomic<int> workers_asleep{0};
  std::atomic<bool> caller_asleep{false};

  // Claims a run of the next groups whose slots are free and filters them
  // into their slots; false when there is nothing to claim right now. A
  // thread claims runs rather than single groups because neighbouring
  // groups search overlapping windows: a thread filtering a run finds most
  // of each window in its own caches. (Runs of 32 took about 4 % less CPU
  // time on 181 x 217 x 181 than groups claimed one at a time, alternating
  // between the threads; 64 no less.)
  constexpr long run = 32;
  auto filter_run = [&](int t) {
    long i = next.load(), end;
    do {
      const long room = aggregated.load() + ring;  // groups below it have a free slot
      if (i >= total || i >= room) return false;
      end = std::min({i + run, total, room});
    } while (!next.compare_exchange_weak(i, end));
    for (; i < end; ++i) {
      const int* c = &cubes[3 * static_cast<std::size_t>(i)];
      double level = carried;
      GroupResult local;
      filter(c[0], c[1], c[2], level, workspaces[t], local);
      detail::Slot& slot = slots[i % ring];
      detail::keep(g, local, slot);
      slot.ready.store(i);
      if (caller_asleep.load()) {
        std::lock_guard<std::mutex> lock(sleep_mutex);
        arrived.notify_one();
      }
    }
    return true;
  };

  auto worker = [&](int t) {
    while (next.load() < total) {
      if (filter_run(t)) continue;
      std::unique_lock<std::mutex> lock(sleep_mutex);
      workers_asleep.fetch_add(1);
      room.wait(lock, [&] {
        const long i = next.load();
        return i >= total || i - ring < aggregated.load();
      });
      workers_asleep.fetch_sub(1);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker, t);

  // Ends the workers early (cancellation): nothing is left to claim.
  auto stop_workers = [&] {
    next.store(total);
    {
      std::lock_guard<std::mutex> lock(sleep_mutex);
      room.notify_all();
    }
    for (auto& th : pool) th.join();
  };

  // The calling thread aggregates in walk order and filters in between.
  try {
  for (long done = 1; done < total;) {
    detail::Slot& slot = slots[done % ring];
    if (slot.ready.load() == done) {
      flusher.before(cubes[3 * static_cast<std::size_t>(done) + 2]);
      aggregate(g, slot.result, acc);
      progress.step();
      ++done;
      aggregated.store(done);
      if (workers_asleep.load() > 0) {
        std::lock_guard<std::mutex> lock(sleep_mutex);
        room.notify_all();
      }
    } else if (!filter_run(0)) {
      std::unique_lock<std::mutex> lock(sleep_mutex);
      caller_asleep.store(true);
      arrived.wait(lock, [&] { return slot.ready.load() == done; });
      caller_asleep.store(false);
    }
  }
  } catch (...) {
    stop_workers();
    throw;
  }
  for (auto& th : pool) th.join();
  flusher.finish();
  progress.finish();
}

}  // namespace zarvo::stages

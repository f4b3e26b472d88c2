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

inline void keep(const Layout& g, const GroupResult& r, Slot& slot) {
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
  Flusher(const Layout& g, Accumulators& acc, const Output& out)
      : g_(g),
        acc_(acc),
        out_(out),
        reach_(matching_reach(g)),
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
  const Layout& g_;
  Accumulators& acc_;
  const Output& out_;
  int reach_, slices_;
  int flushed_ = 0;
};

// Filters every group on the calling thread, aggregating each at once.
template <typename Filter>
void walk_alone(const Layout& g, double sigma, Filter& filter, Workspace& w, Accumulators& acc,
                Flusher& flusher, ProgressReport& progress) {
  GroupResult r;
  walk(g, [&](int x, int y, int z) {
    filter(x, y, z, sigma, w, r);
    flusher.before(z);
    aggregate(g, r, acc);
    progress.step();
  });
}

// The groups a threaded walk filters ahead, and the hand-over between its
// threads. A group may be filtered once the group `size` places before it
// has been aggregated, which frees its slot. Everything is set up here;
// during the walk nothing is allocated.
//
// A thread with nothing to do sleeps instead of spinning (the machine may be
// shared): workers while the ring is full, the calling thread while the group
// it needs next is still being filtered. Whoever changes what a sleeper
// waits for wakes it; the flags keep that free when nobody sleeps.
class Ring {
 public:
  // Groups 1 .. total - 1 are to be filtered (group 0 is filtered first, alone).
  Ring(const Layout& g, long total, int threads)
      : total_(total), size_(64L * threads), slots_(new Slot[static_cast<std::size_t>(size_)]) {
    for (long i = 0; i < size_; ++i) {
      slots_[i].estimate.resize(static_cast<std::size_t>(g.largest_group) * g.cube_len);
      slots_[i].positions.resize(3 * static_cast<std::size_t>(g.largest_group));
    }
  }

  // Claims a run of the next groups whose slots are free, [begin, end);
  // false when there is nothing to claim right now. A thread claims runs
  // rather than single groups because neighbouring groups search
  // overlapping windows: a thread filtering a run finds most of each window
  // in its own caches. (Runs of 32 took about 4 % less CPU time on 181 x 217
  // x 181 than groups claimed one at a time, alternating between the
  // threads; 64 no less.)
  bool claim(long& begin, long& end) {
    constexpr long run = 32;
    begin = next_.load();
    do {
      const long room = aggregated_.load() + size_;  // groups below it have a free slot
      if (begin >= total_ || begin >= room) return false;
      end = std::min({begin + run, total_, room});
    } while (!next_.compare_exchange_weak(begin, end));
    return true;
  }

  Slot& slot(long i) { return slots_[i % size_]; }

  // Group i is in its slot.
  void deliver(long i) {
    slot(i).ready.store(i);
    if (caller_asleep_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      arrived_.notify_one();
    }
  }

  bool all_claimed() const { return next_.load() >= total_; }

  // A worker with nothing to claim sleeps until a slot frees or nothing is
  // left.
  void wait_for_room() {
    std::unique_lock<std::mutex> lock(mutex_);
    workers_asleep_.fetch_add(1);
    room_.wait(lock, [&] {
      const long i = next_.load();
      return i >= total_ || i - size_ < aggregated_.load();
    });
    workers_asleep_.fetch_sub(1);
  }

  // The calling thread has aggregated the groups below `done`.
  void aggregated(long done) {
    aggregated_.store(done);
    if (workers_asleep_.load() > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      room_.notify_all();
    }
  }

  // The calling thread sleeps until group i is in its slot.
  void wait_for(long i) {
    std::unique_lock<std::mutex> lock(mutex_);
    caller_asleep_.store(true);
    arrived_.wait(lock, [&] { return slot(i).ready.load() == i; });
    caller_asleep_.store(false);
  }

  // Leaves nothing to claim and wakes the sleeping workers (cancellation).
  void stop() {
    next_.store(total_);
    std::lock_guard<std::mutex> lock(mutex_);
    room_.notify_all();
  }

 private:
  const long total_, size_;
  std::unique_ptr<Slot[]> slots_;
  alignas(64) std::atomic<long> next_{1};        // next group to filter
  alignas(64) std::atomic<long> aggregated_{1};  // groups aggregated so far
  std::mutex mutex_;
  std::condition_variable room_, arrived_;
  std::atomic<int> workers_asleep_{0};
  std::atomic<bool> caller_asleep_{false};
};

// Claims a run of groups and filters them into their slots, each starting
// from the level `carried`; false when there was nothing to claim.
template <typename Filter>
bool filter_run(const Layout& g, Filter& filter, const std::vector<int>& cubes, double carried,
                Workspace& w, Ring& ring) {
  long i, end;
  if (!ring.claim(i, end)) return false;
  for (; i < end; ++i) {
    const int* c = &cubes[3 * static_cast<std::size_t>(i)];
    double level = carried;
    GroupResult local;
    filter(c[0], c[1], c[2], level, w, local);
    keep(g, local, ring.slot(i));
    ring.deliver(i);
  }
  return true;
}

// x, y, z of every reference cube, in walk order.
inline std::vector<int> reference_list(const Layout& g, long count) {
  std::vector<int> cubes;
  cubes.reserve(3 * static_cast<std::size_t>(count));
  walk(g, [&](int x, int y, int z) { cubes.insert(cubes.end(), {x, y, z}); });
  return cubes;
}

// Filters the first group on the calling thread (it sets the level every
// later group starts from), then the rest on `threads` threads: workers
// filter ahead into the ring while the calling thread aggregates strictly in
// walk order and filters too whenever the next group is not ready.
template <typename Filter>
void walk_threaded(const Layout& g, StageKind kind, double sigma, Filter& filter,
                   std::vector<Workspace>& workspaces, int threads, long count, Accumulators& acc,
                   Flusher& flusher, ProgressReport& progress) {
  const std::vector<int> cubes = reference_list(g, count);
  const long total = static_cast<long>(cubes.size() / 3);
  if (total == 0) return;
  GroupResult r;
  filter(cubes[0], cubes[1], cubes[2], sigma, workspaces[0], r);
  flusher.before(cubes[2]);
  aggregate(g, r, acc);
  progress.step();
  const double carried = sigma;

  for (int t = 1; t < threads; ++t) workspaces.push_back(allocate_workspace(g, kind));
  Ring ring(g, total, threads);
  auto worker = [&](int t) {
    while (!ring.all_claimed()) {
      if (filter_run(g, filter, cubes, carried, workspaces[t], ring)) continue;
      ring.wait_for_room();
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker, t);

  try {
    for (long done = 1; done < total;) {
      Slot& slot = ring.slot(done);
      if (slot.ready.load() == done) {
        flusher.before(cubes[3 * static_cast<std::size_t>(done) + 2]);
        aggregate(g, slot.result, acc);
        progress.step();
        ++done;
        ring.aggregated(done);
      } else if (!filter_run(g, filter, cubes, carried, workspaces[0], ring)) {
        ring.wait_for(done);
      }
    }
  } catch (...) {
    // Cancellation: end the workers early before leaving.
    ring.stop();
    for (auto& th : pool) th.join();
    throw;
  }
  for (auto& th : pool) th.join();
}

}  // namespace detail

// Calls filter(x, y, z, sigma, workspace, result) for every reference cube,
// aggregates each result and normalises every slice into `out` once it is
// final (so the accumulators need only hold a band of slices). `sigma` is
// the level carried from group to group: after the first group it no longer
// changes except where a group sets it afresh (adaptive mode), so every
// later group starts from the value the first group left.
//
// The context's thread count is limited to the number of reference cubes.
// Cancellation (Cancelled, thrown on the calling thread) stops the workers
// before it leaves.
template <typename Filter>
void filter_and_aggregate(const Layout& g, StageKind kind, double sigma, Filter&& filter,
                          Accumulators& acc, const Output& out, const RunContext& context) {
  detail::Flusher flusher(g, acc, out);
  const long cubes_total = reference_cubes(g);
  ProgressReport progress(cubes_total, context);
  int threads = walk_threads(context);
  if (threads > cubes_total) threads = static_cast<int>(cubes_total > 0 ? cubes_total : 1);
  std::vector<Workspace> workspaces;
  workspaces.reserve(static_cast<std::size_t>(threads));
  workspaces.push_back(allocate_workspace(g, kind));
  if (threads <= 1) {
    detail::walk_alone(g, sigma, filter, workspaces[0], acc, flusher, progress);
  } else {
    detail::walk_threaded(g, kind, sigma, filter, workspaces, threads, cubes_total, acc, flusher,
                          progress);
  }
  flusher.finish();
  progress.finish();
}

}  // namespace zarvo::stages

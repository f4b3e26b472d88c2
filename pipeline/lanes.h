// Items (the volumes of a series) worked on side by side by lanes of worker
// threads, and handed back in order on the calling thread. Whatever a lane
// tells while it works (its events, its walk's progress) is queued and told
// on the calling thread in item order, exactly as one lane working item
// after item would tell it; so is every item's delivery. The calling thread
// only coordinates: it sleeps while nothing is ready.
#pragma once

#include <cstddef>
#include <functional>

#include "zarvo/run.h"

namespace zarvo::lanes {

// What a lane offers the item it works on (on the lane's thread).
class Lane {
 public:
  virtual ~Lane() = default;
  // The context of the item's next walk: the lane's threads, joined by
  // those of lanes that have run out of items (so that the last items of a
  // run take every core); a progress that is posted; a cancel flag set when
  // the run stops (the caller's cancel, or a failure of an earlier item).
  virtual RunContext context() const = 0;
  // Queues a call for the calling thread, made after everything the item
  // queued before it and before its delivery.
  virtual void post(std::function<void()> call) const = 0;
};

struct Work {
  // Works on `item` with the buffers of `slot` (no other item uses them
  // until this one has been delivered). Called on a lane's thread; may
  // throw.
  std::function<void(int item, int slot, const Lane& lane)> run;
  // On the calling thread, in item order, after the item's posted calls.
  std::function<void(int item, int slot)> deliver;
};

// Runs every item of 0 .. items-1 on `lanes` threads (each walking with
// `threads` / `lanes` threads, the first ones one more for a remainder),
// with `slots` buffer sets (at least `lanes`). The first item (in item
// order) that throws ends the run: every earlier item is still delivered,
// later ones are stopped, and its exception is rethrown here, as when the
// items are worked on one after another. The caller's cancel flag stops
// every item (Cancelled).
void run(int items, int lanes, int slots, const RunContext& context, const Work& work);

// The lanes for a series of `volumes` volumes of `voxels` voxels on
// `threads` threads: the count that should finish first when a walk loses a
// tenth of its speed per thread with every doubling of its threads (two
// threads: 1.8x; 1.7x to 1.97x measured on two cores) and a lane idles once
// the volumes run out, while the volumes held at once (one more than the
// lanes) keep to 2^23 voxels: about the memory of one 181 x 217 x 181
// volume's run, so that lanes speed up series of small volumes without
// multiplying the memory of large ones.
int for_series(int volumes, int threads, std::size_t voxels);

}  // namespace zarvo::lanes

// Volumes filtered side by side: whatever the lanes do, the caller sees what
// one lane working volume after volume would show (events, progress and
// deliveries in volume order on its own thread, the first failure in volume
// order, the same bits), and a cancel or a failing callback never hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lanes.h"
#include "stage_helpers.h"

namespace {

using namespace std::chrono_literals;

// Items that finish out of order: item t works (9 - t % 4) ms.
void work_a_while(int t) { std::this_thread::sleep_for(std::chrono::milliseconds(9 - t % 4)); }

TEST(PipelineLanes, CallsAndDeliveriesInItemOrderOnTheCallingThread) {
  const auto caller = std::this_thread::get_id();
  std::vector<std::string> told;
  bool off_thread = false;
  std::mutex lanes_mutex;
  std::set<std::thread::id> lane_threads;
  std::vector<int> slot_value(4, -1);

  zarvo::RunContext context;
  context.threads = 3;
  context.progress = [&](long done, long total) {
    off_thread |= std::this_thread::get_id() != caller;
    told.push_back("progress " + std::to_string(done) + "/" + std::to_string(total));
  };
  zarvo::lanes::Work work;
  work.run = [&](int t, int slot, const zarvo::lanes::Lane& lane) {
    {
      std::lock_guard<std::mutex> lock(lanes_mutex);
      lane_threads.insert(std::this_thread::get_id());
    }
    const zarvo::RunContext walk = lane.context();
    if (t < 9) {
      EXPECT_EQ(walk.threads, 1);  // the last ones may borrow
    }
    lane.post([&, t] { told.push_back("start " + std::to_string(t)); });
    work_a_while(t);
    walk.progress(t, 100);
    slot_value[static_cast<std::size_t>(slot)] = t;  // this slot is the item's until delivered
  };
  work.deliver = [&](int t, int slot) {
    off_thread |= std::this_thread::get_id() != caller;
    EXPECT_EQ(slot_value[static_cast<std::size_t>(slot)], t);
    told.push_back("deliver " + std::to_string(t));
  };
  zarvo::lanes::run(12, 3, 4, context, work);

  std::vector<std::string> want;
  for (int t = 0; t < 12; ++t)
    want.insert(want.end(), {"start " + std::to_string(t), "progress " + std::to_string(t) + "/100",
                             "deliver " + std::to_string(t)});
  EXPECT_EQ(told, want);
  EXPECT_FALSE(off_thread);
  EXPECT_GT(lane_threads.size(), 1u);
  EXPECT_EQ(lane_threads.count(caller), 0u);
}

TEST(PipelineLanes, TheFirstFailureInItemOrderWinsAndStopsLaterItems) {
  zarvo::RunContext context;
  context.threads = 2;
  std::vector<int> delivered;
  std::atomic<bool> later_stopped{false};
  zarvo::lanes::Work work;
  work.run = [&](int t, int, const zarvo::lanes::Lane& lane) {
    const std::atomic<bool>* stop = lane.context().cancel;
    if (t == 2) {
      std::this_thread::sleep_for(30ms);  // item 3 fails first in time
      throw zarvo::Error("item 2");
    }
    if (t == 3) throw zarvo::Error("item 3");
    if (t > 3) {  // only claimed if the run went on; then it must be stopped
      for (int i = 0; i < 200 && !stop->load(); ++i) std::this_thread::sleep_for(5ms);
      later_stopped = stop->load();
    }
  };
  work.deliver = [&](int t, int) { delivered.push_back(t); };
  try {
    zarvo::lanes::run(8, 2, 3, context, work);
    FAIL() << "no exception";
  } catch (const zarvo::Error& e) {
    EXPECT_STREQ(e.what(), "item 2");
  }
  EXPECT_EQ(delivered, (std::vector<int>{0, 1}));
  EXPECT_FALSE(later_stopped);  // nothing after a failure is claimed
}

TEST(PipelineLanes, CancelAndFailingCallbacksEndTheRunPromptly) {
  // Every item waits for its cancel flag: the caller's cancel must reach it.
  std::atomic<bool> cancel{false};
  zarvo::RunContext context;
  context.threads = 2;
  context.cancel = &cancel;
  zarvo::lanes::Work waiting;
  waiting.run = [&](int, int, const zarvo::lanes::Lane& lane) {
    const std::atomic<bool>* stop = lane.context().cancel;
    for (int i = 0; i < 1000 && !stop->load(); ++i) std::this_thread::sleep_for(5ms);
    if (stop->load()) throw zarvo::Cancelled();
  };
  waiting.deliver = [](int, int) {};
  std::thread canceller([&] {
    std::this_thread::sleep_for(50ms);
    cancel = true;
  });
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_THROW(zarvo::lanes::run(6, 2, 3, context, waiting), zarvo::Cancelled);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);

  // A delivery that throws stops the lanes, which are joined before it leaves.
  context.cancel = nullptr;
  zarvo::lanes::Work refused = waiting;
  refused.run = [](int t, int, const zarvo::lanes::Lane& lane) {
    const std::atomic<bool>* stop = lane.context().cancel;
    if (t > 0)
      for (int i = 0; i < 1000 && !stop->load(); ++i) std::this_thread::sleep_for(5ms);
  };
  refused.deliver = [](int, int) { throw std::runtime_error("disk full"); };
  EXPECT_THROW(zarvo::lanes::run(6, 2, 3, context, refused), std::runtime_error);
}

TEST(PipelineLanes, LanesOutOfItemsLendTheirThreadsToTheLastItem) {
  zarvo::RunContext context;
  context.threads = 5;  // lanes of 2, 2 and 1 threads
  std::atomic<int> last_threads{0};
  zarvo::lanes::Work work;
  work.run = [&](int t, int, const zarvo::lanes::Lane& lane) {
    if (t < 3) return;
    // The item left over: every other lane runs out and leaves.
    int threads = lane.context().threads;
    for (int i = 0; i < 400 && threads < 5; ++i) {
      std::this_thread::sleep_for(5ms);
      threads = lane.context().threads;
    }
    last_threads = threads;
  };
  work.deliver = [](int, int) {};
  zarvo::lanes::run(4, 3, 4, context, work);
  EXPECT_EQ(last_threads, 5);  // never more than the run's threads
}

TEST(PipelineLanes, SeriesSplitIntoLanesWhereThatFinishesFirst) {
  EXPECT_EQ(zarvo::lanes::for_series(16, 2, 1'000'000), 2);
  EXPECT_EQ(zarvo::lanes::for_series(3, 2, 1'000'000), 1);  // the third volume would idle a core
  EXPECT_EQ(zarvo::lanes::for_series(1, 8, 1'000'000), 1);
  EXPECT_EQ(zarvo::lanes::for_series(64, 8, 1'000'000), 4);   // of two threads each
  EXPECT_EQ(zarvo::lanes::for_series(64, 16, 1'000'000), 4);  // of four
  EXPECT_EQ(zarvo::lanes::for_series(64, 16, 2'000'000), 2);  // four would not fit
  EXPECT_EQ(zarvo::lanes::for_series(16, 2, 3'000'000), 1);   // nor would three
  EXPECT_EQ(zarvo::lanes::for_series(16, 1, 1000), 1);
}

// The denoiser on a series: lanes give the bits, events and errors of one
// thread.
TEST(PipelineLanes, SeriesDenoisedSideBySideAsVolumeAfterVolume) {
  zarvo::Shape s;
  s.ndims = 4;
  s.rows = 20;
  s.cols = 18;
  s.slices = 9;
  s.volumes = 4;
  ASSERT_EQ(zarvo::lanes::for_series(s.volumes, 2, s.volume_voxels()), 2);
  std::vector<double> noisy =
      zarvo::test::random_volume(s.volume_voxels() * s.volumes, 4, 0.0, 1.0);
  for (std::size_t i = 0; i < noisy.size(); ++i)
    noisy[i] = std::abs(noisy[i] + 8.0 + (i % 20 > 9 ? 6 : 0));

  struct Outcome {
    std::vector<double> out;
    std::vector<std::string> events;
    std::string error;
  };
  auto run = [&](zarvo::Noise noise, int threads, std::vector<double> sigma = {}) {
    Outcome r;
    zarvo::DenoiseOptions o;
    o.noise = noise;
    o.sigma = sigma;
    zarvo::RunContext context;
    context.threads = threads;
    long walks = 0;
    context.progress = [&](long done, long total) { walks += done == total; };
    zarvo::PipelineEvents events;
    events.level = [&](int t, const zarvo::VolumeReport& v) {
      r.events.push_back("level " + std::to_string(t) + " " + std::to_string(v.sigma));
    };
    events.stage = [&](int t, int stage, int, const char* name) {
      r.events.push_back("stage " + std::to_string(t) + " " + std::to_string(stage) + " " + name);
    };
    try {
      zarvo::denoise(
          zarvo::series_input(zarvo::ArrayView::column_major(noisy.data(), s)), o,
          [&](int t, const double* e, const double*) {
            r.events.push_back("volume " + std::to_string(t) + " after " + std::to_string(walks) +
                               " walks");
            r.out.insert(r.out.end(), e, e + s.volume_voxels());
          },
          context, events);
    } catch (const zarvo::Error& e) {
      r.error = e.what();
    }
    return r;
  };
  for (zarvo::Noise noise : {zarvo::Noise::gaussian, zarvo::Noise::rician}) {
    const Outcome one = run(noise, 1), two = run(noise, 2);
    ASSERT_EQ(one.out.size(), noisy.size());
    EXPECT_EQ(two.out, one.out);
    EXPECT_EQ(two.events, one.events);
  }
  // A bad voxel in the third volume (with the level given, so that no
  // estimate reads it first): the first two are delivered, then its error,
  // whatever the lanes.
  noisy[s.volume_voxels() * 2 + 7] = NAN;
  const Outcome one = run(zarvo::Noise::gaussian, 1, {1.0}),
                two = run(zarvo::Noise::gaussian, 2, {1.0});
  EXPECT_NE(one.error.find("voxel 7,0,0,2"), std::string::npos) << one.error;
  EXPECT_EQ(two.error, one.error);
  EXPECT_EQ(two.out.size(), 2 * s.volume_voxels());
  EXPECT_EQ(two.out, one.out);
}

}  // namespace

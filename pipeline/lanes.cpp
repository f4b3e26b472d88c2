#include "lanes.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zarvo::lanes {
namespace {

enum class State { waiting, running, done, failed };

struct Item {
  State state = State::waiting;
  int slot = -1;
  std::vector<std::function<void()>> posted;  // not yet made
  std::exception_ptr error;
  std::atomic<bool> stop{false};
};

class Runner {
 public:
  Runner(int items, int lanes, int slots, const RunContext& context, const Work& work)
      : count_(items),
        lanes_(lanes),
        context_(context),
        work_(work),
        items_(new Item[static_cast<std::size_t>(items)]) {
    for (int s = slots - 1; s >= 0; --s) free_.push_back(s);
  }

  void run() {
    // However the calling thread leaves, the lanes are stopped and joined.
    struct Joiner {
      Runner& r;
      ~Joiner() {
        r.halt();
        for (auto& t : r.threads_) t.join();
      }
    } joiner{*this};
    const int threads = walk_threads(context_);
    for (int i = 0; i < lanes_; ++i)
      threads_.emplace_back(&Runner::lane, this, threads / lanes_ + (i < threads % lanes_ ? 1 : 0));
    for (int t = 0; t < count_; ++t) hand_over(t);
  }

 private:
  // Stops every item and every claim (the caller's cancel, or leaving early).
  void halt() {
    std::lock_guard<std::mutex> lock(mutex_);
    halted_ = true;
    for (int t = 0; t < count_; ++t) items_[t].stop.store(true);
    room_.notify_all();
  }

  bool cancelled() const { return context_.cancel && context_.cancel->load(); }

  // Makes item t's posted calls as they come, then delivers it (or throws
  // what it threw).
  void hand_over(int t) {
    Item& item = items_[t];
    for (;;) {
      std::vector<std::function<void()>> calls;
      State state;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        // The caller's cancel flag is polled between wake-ups.
        ready_.wait_for(lock, std::chrono::milliseconds(100), [&] {
          return !item.posted.empty() || item.state == State::done || item.state == State::failed ||
                 (halted_ && item.state == State::waiting);
        });
        calls.swap(item.posted);
        state = item.state;
      }
      for (auto& call : calls) call();
      if (state == State::done) {
        work_.deliver(t, item.slot);
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(item.slot);
        room_.notify_one();
        return;
      }
      if (state == State::failed) std::rethrow_exception(item.error);
      if (cancelled()) halt();
      // Only a cancel leaves an item unclaimed: an earlier failure is thrown
      // when its own turn comes.
      if (state == State::waiting) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (halted_ && item.state == State::waiting) throw Cancelled();
      }
    }
  }

  // A lane's offer to its current item.
  class Offer : public Lane {
   public:
    Offer(Runner& runner, int threads) : runner_(runner), threads_(threads) {}
    void start(Item& item) { item_ = &item; }
    RunContext context() const override {
      threads_ += runner_.spare_.exchange(0);  // borrowed for good: returned on leaving
      RunContext c;
      c.threads = threads_;
      c.cancel = &item_->stop;
      if (runner_.context_.progress)
        c.progress = [this](long done, long total) {
          // Made after this lane may have left: nothing of it is kept.
          const WalkProgress* to = &runner_.context_.progress;
          post([to, done, total] { (*to)(done, total); });
        };
      return c;
    }
    void post(std::function<void()> call) const override {
      std::lock_guard<std::mutex> lock(runner_.mutex_);
      item_->posted.push_back(std::move(call));
      runner_.ready_.notify_one();
    }
    void leave() { runner_.spare_ += threads_; }

   private:
    Runner& runner_;
    mutable int threads_;
    Item* item_ = nullptr;
  };

  void lane(int threads) {
    Offer offer(*this, threads);
    for (;;) {
      int t, slot;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return halted_ || next_ >= count_ || !free_.empty(); });
        if (halted_ || next_ >= count_) break;
        t = next_++;
        slot = free_.back();
        free_.pop_back();
        items_[t].state = State::running;
        items_[t].slot = slot;
      }
      Item& item = items_[t];
      offer.start(item);
      std::exception_ptr error;
      try {
        work_.run(t, slot, offer);
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (error) {
        // No later item is claimed, and those running stop.
        item.error = error;
        item.state = State::failed;
        halted_ = true;
        for (int u = t + 1; u < count_; ++u) items_[u].stop.store(true);
        room_.notify_all();
      } else {
        item.state = State::done;
      }
      ready_.notify_one();
    }
    offer.leave();
  }

  const int count_, lanes_;
  const RunContext& context_;
  const Work& work_;
  std::unique_ptr<Item[]> items_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable ready_;  // the calling thread: something posted or finished
  std::condition_variable room_;   // the lanes: a slot freed, or the run halted
  std::vector<int> free_;          // free slots
  int next_ = 0;                   // next item to claim
  bool halted_ = false;
  std::atomic<int> spare_{0};  // threads of lanes that have left
};

}  // namespace

void run(int items, int lanes, int slots, const RunContext& context, const Work& work) {
  if (items <= 0) return;
  if (lanes < 1) lanes = 1;
  if (slots < lanes) slots = lanes;
  Runner(items, lanes, slots, context, work).run();
}

int for_series(int volumes, int threads, std::size_t voxels) {
  constexpr std::size_t budget = std::size_t{1} << 23;
  int best = 1;
  double best_time = 0;
  for (int lanes = 1; lanes <= threads && lanes <= volumes; ++lanes) {
    if (lanes > 1 && static_cast<std::size_t>(lanes + 1) * voxels > budget) break;
    const int each = threads / lanes;
    const double speed = each * std::pow(0.9, std::log2(each));
    const double time = ((volumes + lanes - 1) / lanes) / speed;
    if (lanes == 1 || time < best_time) {
      best = lanes;
      best_time = time;
    }
  }
  return best;
}

}  // namespace zarvo::lanes

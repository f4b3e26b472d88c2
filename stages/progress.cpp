#include "progress.h"

#include <sched.h>

#include <thread>

namespace zarvo {

int available_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const unsigned n = std::thread::hardware_concurrency();
  return n ? static_cast<int>(n) : 1;
}

int walk_threads(const RunContext& context) {
  if (context.threads > 0) return context.threads;
  return available_cores();
}

}  // namespace zarvo

namespace zarvo::stages {

ProgressReport::ProgressReport(long total, const RunContext& context)
    : context_(context), total_(total) {
  stride_ = total / 500 > 0 ? total / 500 : 1;
  next_ = stride_;
  report(0);
}

void ProgressReport::report(long done) {
  if (context_.cancel && context_.cancel->load(std::memory_order_relaxed)) throw Cancelled();
  if (context_.progress) context_.progress(done, total_);
}

void ProgressReport::step() {
  ++done_;
  if (done_ >= next_ && done_ < total_) {
    next_ += stride_;
    report(done_);
  }
}

void ProgressReport::finish() { report(total_); }

}  // namespace zarvo::stages

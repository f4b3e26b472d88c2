#include "progress.h"

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
  // The flag is looked at after every reference, not only when progress is
  // reported: one report's worth of groups can take seconds on a slow or
  // busy machine, longer than a stopped run is given to end by itself.
  if (context_.cancel && context_.cancel->load(std::memory_order_relaxed)) throw Cancelled();
  if (done_ >= next_ && done_ < total_) {
    next_ += stride_;
    report(done_);
  }
}

void ProgressReport::finish() { report(total_); }

}  // namespace zarvo::stages

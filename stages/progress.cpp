#include "progress.h"

namespace zarvo::stages {
namespace {
ProgressObserver g_observer = nullptr;
void* g_context = nullptr;
}  // namespace

void set_progress_observer(ProgressObserver observer, void* context) {
  g_observer = observer;
  g_context = context;
}

ProgressReport::ProgressReport(long total) : total_(total) {
  stride_ = total / 500 > 0 ? total / 500 : 1;
  next_ = stride_;
  if (g_observer) g_observer(g_context, 0, total_);
}

void ProgressReport::step() {
  ++done_;
  if (done_ >= next_ && done_ < total_) {
    next_ += stride_;
    if (g_observer) g_observer(g_context, done_, total_);
  }
}

void ProgressReport::finish() {
  if (g_observer) g_observer(g_context, total_, total_);
}

}  // namespace zarvo::stages

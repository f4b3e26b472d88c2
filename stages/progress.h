// Progress of the walk over reference cubes, for front-ends that show it (the
// stand-alone command's progress bar). A MEX host sets no observer, and the
// walk then only counts.
#pragma once

namespace zarvo::stages {

// Called with the number of reference cubes done and their total, at the
// start (done = 0), at most a few hundred times during the walk, and at the end.
using ProgressObserver = void (*)(void* context, long done, long total);

// Sets the observer for the walks that follow (nullptr: none).
void set_progress_observer(ProgressObserver observer, void* context);

// Used by the walks.
class ProgressReport {
 public:
  explicit ProgressReport(long total);
  void step();  // one reference cube done
  void finish();

 private:
  long total_;
  long done_ = 0;
  long next_ = 0;
  long stride_ = 1;
};

}  // namespace zarvo::stages

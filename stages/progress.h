// Progress and cancellation of a walk over reference cubes, as the run
// context asks for them.
#pragma once

#include "zarvo/run.h"

namespace zarvo::stages {

// Reports to the context's progress callback at the start (done = 0), at
// most a few hundred times during the walk, and at the end; throws Cancelled
// at any of these points and after any reference cube once the context's
// cancel flag is set.
class ProgressReport {
 public:
  ProgressReport(long total, const RunContext& context);
  void step();  // one reference cube done
  void finish();

 private:
  void report(long done);

  const RunContext& context_;
  long total_;
  long done_ = 0;
  long next_ = 0;
  long stride_ = 1;
};

}  // namespace zarvo::stages

// Runs a check once on every SIMD instruction set compiled in that this CPU
// runs (the dispatch forced to each in turn), then restores the dispatch.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "hwy/targets.h"

template <class Check>
void on_every_target(Check&& check) {
  for (std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    hwy::SupportedTargets();
    SCOPED_TRACE(hwy::TargetName(target));
    check();
  }
  hwy::SetSupportedTargetsForTest(0);
  hwy::SupportedTargets();
}

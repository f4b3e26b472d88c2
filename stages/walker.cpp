#include "walker.h"

namespace zarvo::stages {
namespace {
int g_threads = 1;
}

void set_walk_threads(int threads) { g_threads = threads < 1 ? 1 : threads; }

int walk_threads() {
#if defined(ZARVO_STANDALONE)
  return g_threads;
#else
  return 1;  // MEX hosts allow their operations on the calling thread only
#endif
}

}  // namespace zarvo::stages

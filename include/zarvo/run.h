// What every engine call shares: the machine constants of the arithmetic,
// the errors it throws, and the run context passed down the calls instead of
// process-wide settings.
#pragma once

#include <atomic>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

namespace zarvo {

// The relative spacing of doubles at 1 (2^-52): levels and weights not above
// it count as zero.
constexpr double eps = 0x1p-52;
constexpr double infinity = std::numeric_limits<double>::infinity();

// A refusal of the input or the options; the message says what is wrong.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A refusal of the input data itself (its shape or its values). The message
// follows the input's name, which the front end puts first: "holds 3 NaN or
// infinite voxel(s) ...".
class InputError : public Error {
 public:
  using Error::Error;
};

// The run was cancelled through RunContext::cancel.
class Cancelled : public Error {
 public:
  Cancelled() : Error("cancelled") {}
};

// Progress of one walk over reference cubes: `done` of `total`, reported at
// the start (0), a few hundred times during the walk, and at the end.
using WalkProgress = std::function<void(long done, long total)>;

struct RunContext {
  // Threads of the walk: 1 walks on the calling thread; 0 takes every core
  // the process may run on. Results do not depend on it.
  int threads = 1;
  WalkProgress progress;                     // may be empty
  const std::atomic<bool>* cancel = nullptr;  // polled during the walk; may be null
};

// Cores this process may run on (its affinity mask), at least 1.
int available_cores();

// The thread count a context asks for: `threads`, or every core for 0.
int walk_threads(const RunContext& context);

}  // namespace zarvo

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

// A RunContext's thread count when the caller does not give one: the
// engine's policy decides (see choose_threads).
constexpr int threads_not_given = -1;
// The largest thread count a front end may ask for (more is refused as a
// mistake; any count is clamped to the cores anyway).
constexpr int max_threads = 4096;

struct RunContext {
  // Threads of the walk: threads_not_given takes $ZARVO_THREADS when set,
  // else every core; 0 takes every core the process may run on; denoise()
  // clamps a count by choose_threads. Results do not depend on it.
  int threads = threads_not_given;
  WalkProgress progress;                      // may be empty
  const std::atomic<bool>* cancel = nullptr;  // polled during the walk; may be null
};

// Cores this process may run on (its affinity mask), at least 1.
int available_cores();

// The engine's one thread policy, used by every front end.
struct ThreadChoice {
  int threads = 1;
  std::string note;  // why fewer threads than asked, when someone asked
};

// `requested` as RunContext::threads (threads_not_given, 0 or a count; a bad
// $ZARVO_THREADS or a count outside 0..max_threads throws Error naming it),
// clamped to the cores, to what the address-space limit leaves room for
// (each thread reserves its stack), and to `work_items` / 16 (the reference
// cubes of one volume; 0: not known).
ThreadChoice choose_threads(int requested, long work_items = 0);

// The thread count a walk takes: a count as given (denoise() and the plug-in
// gateways give the one choose_threads made), else choose_threads'.
int walk_threads(const RunContext& context);

// Makes sure the engine's fixed needs fit before the work: under an
// address-space limit, checks that room is left and initialises the
// small-product kernels (which map their registry at the first product and
// fail badly when they cannot). Throws Error naming the limit when it is too
// tight. denoise() calls it; other callers may call it earlier.
void prepare_engine();

}  // namespace zarvo

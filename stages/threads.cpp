// The engine's thread policy, the same for the command, the MEX gateways and
// Python: what the caller asked for (else $ZARVO_THREADS, else every core),
// clamped to what the machine and the work can use.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "core/blas.h"
#include "zarvo/run.h"

namespace zarvo {

namespace {

// Bytes of address space a new thread reserves for its stack.
double stack_bytes() {
  pthread_attr_t attr;
  std::size_t size = 8u << 20;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  return static_cast<double>(size);
}

// Address space still free under RLIMIT_AS; negative when unlimited.
double free_address_space() {
  rlimit lim{};
  if (getrlimit(RLIMIT_AS, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return -1;
  double used = 0;
  std::ifstream statm("/proc/self/statm");
  double pages = 0;
  if (statm >> pages) used = pages * 4096.0;
  return std::max(0.0, static_cast<double>(lim.rlim_cur) - used);
}

// $ZARVO_THREADS when set: a whole number from 0 to max_threads.
int threads_from_environment() {
  const char* env = std::getenv("ZARVO_THREADS");
  if (!env) return 0;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(env, &end, 10);
  if (*env == '\0' || end == env || *end != '\0' || errno == ERANGE || v < 0 || v > max_threads)
    throw Error(std::string("ZARVO_THREADS: '") + env +
                "' is not a thread count (a whole number "
                "from 0 to " +
                std::to_string(max_threads) + "; 0 means every core)");
  return static_cast<int>(v);
}

}  // namespace

int available_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const unsigned n = std::thread::hardware_concurrency();
  return n ? static_cast<int>(n) : 1;
}

ThreadChoice choose_threads(int requested, long work_items) {
  if (requested < threads_not_given || requested > max_threads)
    throw Error("the thread count must be from 0 (every core) to " + std::to_string(max_threads) +
                " (got " + std::to_string(requested) + ")");
  if (requested == threads_not_given) requested = threads_from_environment();
  const int cores = available_cores();
  const bool asked = requested > 0;
  ThreadChoice c;
  c.threads = asked ? requested : cores;
  char buf[200];
  if (c.threads > cores) {
    std::snprintf(buf, sizeof buf, "using %d threads: this process may run on %d core%s", cores,
                  cores, cores == 1 ? "" : "s");
    c.threads = cores;
    if (asked) c.note = buf;
  }
  const double free = free_address_space();
  if (free >= 0 && c.threads > 1) {
    // Leave at least half of what is free to the data.
    const int room = std::max(1, static_cast<int>(free / 2 / (stack_bytes() + (16u << 20))));
    if (room < c.threads) {
      c.threads = room;
      std::snprintf(buf, sizeof buf,
                    "using %d thread%s: the address-space limit (ulimit -v) leaves room for no "
                    "more",
                    room, room == 1 ? "" : "s");
      c.note = buf;
    }
  }
  if (work_items > 0) {
    const long useful = std::max(1L, work_items / 16);
    if (useful < c.threads) {
      std::snprintf(buf, sizeof buf, "using %ld thread%s: the volume has only %ld reference cubes",
                    useful, useful == 1 ? "" : "s", work_items);
      c.threads = static_cast<int>(useful);
      if (asked) c.note = buf;
    }
  }
  return c;
}

int walk_threads(const RunContext& context) {
  return context.threads > 0 ? context.threads : choose_threads(context.threads).threads;
}

void prepare_engine() {
  const double free = free_address_space();
  if (free >= 0) {
    constexpr std::size_t need = std::size_t{16} << 20;  // kernel registry, a thread, buffers
    void* probe = mmap(nullptr, need, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED) {
      rlimit lim{};
      getrlimit(RLIMIT_AS, &lim);
      char buf[200];
      std::snprintf(buf, sizeof buf,
                    "the address-space limit (ulimit -v %.0f MB) leaves %.0f MB free; zarvo "
                    "needs at least %zu MB beyond its code, more for large volumes",
                    static_cast<double>(lim.rlim_cur) / 1048576.0, free / 1048576.0, need >> 20);
      throw Error(buf);
    }
    munmap(probe, need);
  }
  // One small product while the room is known to be there.
  const blas_int n = 4;
  const double one = 1.0, zero = 0.0;
  double a[16] = {}, b[16] = {}, c[16] = {};
  ZARVO_DGEMM("N", "N", &n, &n, &n, &one, a, &n, b, &n, &zero, c, &n, 1, 1);
}

}  // namespace zarvo

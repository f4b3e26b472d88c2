// How many threads the walks get: what the user asked for (--threads,
// else $ZARVO_THREADS, 0 meaning every core), clamped to what the machine
// and the work can use.
#pragma once

#include <string>

namespace zarvo::cli {

// Parses a thread count: a whole number from 0 (every core) up; throws
// std::runtime_error naming `source` ("--threads", "ZARVO_THREADS") otherwise.
int parse_threads(const std::string& text, const std::string& source);

// The request: --threads when given (`option` >= 0), else $ZARVO_THREADS
// when set (a bad value throws), else 0 (every core).
int requested_threads(int option);

struct ThreadChoice {
  int threads = 1;
  std::string note;  // why fewer threads than asked, when the user asked
};

// Clamps `requested` (0: every core) to the cores, to what the address-space
// limit leaves room for (each thread reserves its stack), and to
// `work_items` / 16 (the reference cubes of one volume; 0: not known).
ThreadChoice choose_threads(int requested, long work_items = 0);

}  // namespace zarvo::cli

namespace zarvo::cli {

// Makes sure the engine's fixed needs fit before the work: under an
// address-space limit, checks that room is left and initialises the
// small-product kernels (libxsmm maps its registry at the first product,
// and fails badly when it cannot). Throws std::runtime_error naming the
// limit when it is too tight.
void prepare_engine();

}  // namespace zarvo::cli

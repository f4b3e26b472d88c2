// Limits of a run that come from the image and the machine: the search
// half-width limited to the volume (with the same result), the cubes a
// window holds, and the memory check made before any filtering.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "stage_helpers.h"
#include "zarvo/options.h"
#include "zarvo/run_limits.h"

namespace {

using zarvo::test::shape_of;

zarvo::DenoiseOptions options_with(int cube, int depth, int search, int group) {
  zarvo::DenoiseOptions o;
  o.params = zarvo::default_params();
  o.params.cube = cube;
  o.params.depth = depth;
  o.params.search = search;
  o.params.group1 = o.params.group2 = group;
  o.sigma = {5.0};
  return o;
}

std::vector<double> run(const std::vector<double>& in, const zarvo::Shape& s,
                        const zarvo::DenoiseOptions& o, zarvo::DenoiseReport& report) {
  std::vector<double> out;
  report = zarvo::denoise(zarvo::series_input(zarvo::ArrayView::column_major(in.data(), s)), o,
                          [&](int, const double* e, const double*) {
                            out.insert(out.end(), e, e + s.volume_voxels());
                          });
  return out;
}

TEST(RunLimits, ASearchBeyondTheVolumeIsTheWholeVolumeWithTheSameBits) {
  const zarvo::Shape s = shape_of(14, 12, 5);
  const std::vector<double> in = zarvo::test::random_volume(s.volume_voxels(), 7, 50.0, 5.0);
  zarvo::DenoiseReport wide, whole;
  const auto a = run(in, s, options_with(4, 2, 1024, 8), wide);
  const auto b = run(in, s, options_with(4, 2, 14, 8), whole);
  EXPECT_EQ(a, b);
  EXPECT_EQ(wide.params.search, 14);  // what was used, as the sidecar records it
  const auto notes = zarvo::limit_notes(s, options_with(4, 2, 1024, 8).params);
  ASSERT_FALSE(notes.empty());
  EXPECT_NE(notes.back().find("search half-width limited to 14"), std::string::npos);
  EXPECT_TRUE(zarvo::limit_notes(s, options_with(4, 2, 3, 8).params).empty());
}

TEST(RunLimits, AWindowHoldsTheCubesItsPositionsAllow) {
  // 2-D: (2h+1) positions per axis, fewer near a small image's size.
  EXPECT_EQ(zarvo::window_cubes(shape_of(30, 30, 1), options_with(4, 1, 2, 8).params), 25);
  EXPECT_EQ(zarvo::window_cubes(shape_of(6, 30, 1), options_with(4, 1, 2, 8).params), 3 * 5);
  EXPECT_EQ(zarvo::window_cubes(shape_of(30, 30, 9), options_with(4, 4, 1, 8).params), 27);
  // A group of 32 in a window of 27 cubes is noted with the useful maximum.
  const auto notes = zarvo::limit_notes(shape_of(30, 30, 9), options_with(4, 4, 1, 32).params);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_NE(notes[0].find("group1 32 is more than the 27 cubes"), std::string::npos) << notes[0];
}

TEST(RunLimits, TheMemoryNeedGrowsWithTheThreadsTheGroupsAndTheVolume) {
  const zarvo::Shape s = shape_of(64, 64, 32), big = shape_of(128, 128, 64);
  const zarvo::DenoiseOptions o = options_with(4, 4, 5, 16);
  const double one = zarvo::memory_needed(s, o, 1);
  EXPECT_GT(zarvo::memory_needed(s, o, 8), one);
  EXPECT_GT(zarvo::memory_needed(s, options_with(4, 4, 5, 256), 1), one);
  EXPECT_GT(zarvo::memory_needed(big, o, 1), 6 * one);
  // At least the noisy and the denoised volume.
  EXPECT_GE(one, 2.0 * 8 * s.volume_voxels());
}

// In a child whose address space is limited: the run is refused before any
// filtering with an OptionError naming `option`; returns the message.
std::string refused_under_limit(const zarvo::DenoiseOptions& o, int threads, rlim_t limit) {
  int pipe_fd[2];
  if (pipe(pipe_fd) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fd[0]);
    const rlimit lim{limit, limit};
    setrlimit(RLIMIT_AS, &lim);
    std::string text = "not refused";
    try {
      const zarvo::Shape s = shape_of(96, 96, 48);
      zarvo::check_memory(s, o, threads);
    } catch (const zarvo::OptionError& e) {
      text = e.option() + "|" + e.problem();
    } catch (const std::exception& e) {
      text = std::string("other|") + e.what();
    }
    if (write(pipe_fd[1], text.data(), text.size()) < 0) _exit(2);
    _exit(0);
  }
  close(pipe_fd[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(pipe_fd[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(pipe_fd[0]);
  waitpid(child, nullptr, 0);
  return text;
}

TEST(RunLimits, TooLittleMemoryNamesTheOptionThatSavesMost) {
  // 600 MB beyond what this test program holds already.
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  unsigned long long pages = 0;
  ASSERT_TRUE(statm && std::fscanf(statm, "%llu", &pages) == 1);
  std::fclose(statm);
  const rlim_t limit = (rlim_t{600} << 20) + pages * sysconf(_SC_PAGESIZE);
  // Large groups of large cubes: the groups.
  const std::string groups = refused_under_limit(options_with(32, 16, 5, 1024), 1, limit);
  EXPECT_EQ(groups.substr(0, groups.find('|')), "group1") << groups;
  EXPECT_NE(groups.find("the run needs about"), std::string::npos) << groups;
  EXPECT_NE(groups.find("ulimit -v"), std::string::npos) << groups;
  // The same groups over many threads: the threads.
  const std::string threads = refused_under_limit(options_with(8, 8, 5, 512), 64, limit);
  EXPECT_EQ(threads.substr(0, threads.find('|')), "threads") << threads;
  // The default profile fits.
  zarvo::DenoiseOptions plain;
  plain.params = zarvo::default_params();
  EXPECT_EQ(refused_under_limit(plain, 2, limit), "not refused");
}

}  // namespace

// Ctrl-C and SIGTERM during a long `zarvo denoise`: the run stops within a
// second of the signal, ends by that signal (as a shell expects), and the
// old output set is whole with nothing else left in its folder.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "io/nifti_io.h"
#include "support.h"

namespace zc = zarvo::cli;
using zarvo::test::slurp;
using zarvo::test::spit;

namespace {

using Clock = std::chrono::steady_clock;

class Interrupt : public zarvo::test::TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    // Large enough for a run of several seconds on one thread.
    int64_t dims[8] = {3, 160, 160, 96, 1, 1, 1, 1};
    zc::NiftiPtr nim(nifti_make_new_nim(dims, DT_FLOAT32, 1));
    for (int64_t i = 0; i < nim->nvox; ++i)
      static_cast<float*>(nim->data)[i] =
          static_cast<float>(100 + 30 * std::sin(0.01 * i) + (i * 7919 % 101) * 0.2);
    ASSERT_EQ(nifti_set_filenames(nim.get(), path("in.nii").c_str(), 0, 1), 0);
    nifti_image_write(nim.get());
    mkdir(path("out").c_str(), 0777);
    for (const char* n : {"a.nii", "a.json", "map.nii"})
      spit(path(std::string("out/") + n), std::string("old ") + n);
  }

  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    DIR* d = opendir(path("out").c_str());
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  // Starts the run, sends `sig` after `delay`, and returns the seconds from
  // the signal to the end of the process and its wait status.
  std::pair<double, int> interrupted(int sig, std::chrono::milliseconds delay) {
    const std::string in = path("in.nii"), out = path("out/a.nii"), map = path("out/map.nii");
    const pid_t child = fork();
    if (child == 0) {
      if (!freopen(path(".stderr").c_str(), "w", stderr)) _exit(126);
      execl(ZARVO_BIN, "zarvo", "denoise", in.c_str(), out.c_str(), "--noise-map", map.c_str(),
            "--sigma", "5", "--threads", "1", "--force", static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(delay);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the run ended before the signal";
    kill(child, sig);
    const auto sent = Clock::now();
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return {std::chrono::duration<double>(Clock::now() - sent).count(), status};
  }

  void old_set_whole(const std::string& what) const {
    EXPECT_EQ(listing(), (std::vector<std::string>{"a.json", "a.nii", "map.nii"})) << what;
    for (const char* n : {"a.nii", "a.json", "map.nii"})
      EXPECT_EQ(slurp(path(std::string("out/") + n)), std::string("old ") + n) << what;
  }
};

TEST_F(Interrupt, TheRunStopsWithinASecondAndKeepsTheOldSet) {
  // During the filtering (the walk looks at the flag), and at the very
  // start, while the input is read (no look: the handler's alarm ends it).
  for (int sig : {SIGINT, SIGTERM})
    for (int ms : {2000, 30}) {
      const std::string what = std::string(strsignal(sig)) + " after " + std::to_string(ms) + " ms";
      const auto [seconds, status] = interrupted(sig, std::chrono::milliseconds(ms));
      ASSERT_TRUE(WIFSIGNALED(status)) << what << ": status " << status;
      EXPECT_EQ(WTERMSIG(status), sig) << what;
      EXPECT_LT(seconds, 1.5) << what;
      std::printf("%s: ended %.3f s after the signal\n", what.c_str(), seconds);
      // The walk looks at the flag: the run ends through its own path, and
      // says so.
      if (ms > 1000) {
        EXPECT_NE(slurp(path(".stderr")).find("zarvo: interrupted"), std::string::npos)
            << what << ": " << slurp(path(".stderr"));
      }
      std::remove(path(".stderr").c_str());
      old_set_whole(what);
    }
}

}  // namespace

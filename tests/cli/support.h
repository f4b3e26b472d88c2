// What the command's tests share: reading and writing whole files, and a
// fresh folder per test.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace zarvo::test {

// AddressSanitizer reserves terabytes of address space for its shadow, so a
// sanitized command cannot start under `ulimit -v` at all.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

inline std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// A test with a folder of its own under /tmp, removed afterwards, that runs
// the built command (ZARVO_BIN) in it as a user would.
class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/zarvo-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs `zarvo ARGS` through the shell, after `prefix` (which can set
  // limits: "ulimit -v 100000;"), with no standard input; a run longer than
  // 120 s counts as a hang (status 124).
  Outcome zarvo(const std::string& args, const std::string& prefix = "") const {
    const std::string out = path(".stdout"), err = path(".stderr");
    const std::string cmd = prefix + " timeout 120 '" + std::string(ZARVO_BIN) + "' " + args +
                            " >'" + out + "' 2>'" + err + "' </dev/null";
    const int rc = std::system(cmd.c_str());
    Outcome r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
  }

  std::string dir_;
};

}  // namespace zarvo::test

// What the command's tests share: reading and writing whole files, and a
// fresh folder per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace zarvo::test {

inline std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A test with a folder of its own under /tmp, removed afterwards.
class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/zarvo-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

}  // namespace zarvo::test

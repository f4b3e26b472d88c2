// libFuzzer harness over the whole NIfTI reading path (see read_one.h).
// Built and run by scripts/fuzz.sh under AddressSanitizer and UBSan.
#include <cstdlib>

#include "read_one.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string folder = [] {
    const char* t = std::getenv("TMPDIR");
    return std::string(t && *t ? t : "/tmp");
  }();
  zarvo::fuzz::read_one(data, size, folder);
  return 0;
}

// Writes the source of vst/tables.cpp to standard output (or to the file
// named by the only argument). With --report it prints instead how far the
// values computed from the definitions lie from the reference rows.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "vst/generator/table_model.h"

namespace {

using namespace zarvo::vst::tablegen;

void report_table(const char* name, const double computed[grid_size],
                  const double pinned[pinned_count]) {
  double max_abs = 0, max_rel = 0;
  std::printf("%s: reference row, reference value, computed value, deviation\n", name);
  for (int p = 0; p < pinned_count; ++p) {
    const int i = pinned_rows[p];
    const double dev = pinned[p] - computed[i];
    std::printf("  %3d  %.17g  %.17g  %+.3e\n", i, pinned[p], computed[i], dev);
    if (std::fabs(dev) > max_abs) max_abs = std::fabs(dev);
    if (std::fabs(dev / computed[i]) > max_rel) max_rel = std::fabs(dev / computed[i]);
  }
  std::printf("  max |deviation| %.3e, max relative %.3e\n", max_abs, max_rel);
}

int report() {
  double ratio[grid_size], expectation[grid_size];
  compute_raw(ratio, expectation);
  report_table("mean_std_ratio", ratio, pinned_mean_std_ratio);
  report_table("vst_expectation", expectation, pinned_expectation);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--report") == 0) return report();
  Tables tables;
  generate(&tables);
  const std::string source = render_source(tables);
  FILE* out = argc > 1 ? std::fopen(argv[1], "w") : stdout;
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(source.data(), 1, source.size(), out) == source.size();
  if (out != stdout) std::fclose(out);
  return ok ? 0 : 1;
}

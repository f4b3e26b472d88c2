#include "io/bval.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zarvo::cli {

namespace {

bool ends_with(const std::string& s, const std::string& e) {
  return s.size() > e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

std::string bval_name(const std::string& input) {
  for (const char* ending : {".nii.gz", ".nii", ".hdr.gz", ".hdr", ".img.gz", ".img"})
    if (ends_with(input, ending)) return input.substr(0, input.size() - std::string(ending).size());
  return {};
}

}  // namespace

int Bvals::b0_volumes() const {
  return static_cast<int>(
      std::count_if(values.begin(), values.end(), [](double b) { return b <= 50; }));
}

std::vector<double> Bvals::shells() const {
  std::vector<double> s;
  for (double b : values)
    if (b > 50) s.push_back(std::round(b / 100) * 100);
  std::sort(s.begin(), s.end());
  s.erase(std::unique(s.begin(), s.end()), s.end());
  return s;
}

Bvals read_bvals(const std::string& input, int volumes) {
  Bvals b;
  const std::string base = bval_name(input);
  if (base.empty()) return b;
  const std::string file = base + ".bval";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return b;
  b.file = file;
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    char* end = nullptr;
    const double v = std::strtod(word.c_str(), &end);
    if (end == word.c_str() || *end != '\0' || !std::isfinite(v) || v < 0) {
      b.problem = "'" + file + "' holds '" + word + "', not a b-value";
      break;
    }
    b.values.push_back(v);
  }
  if (b.problem.empty() && static_cast<int>(b.values.size()) != volumes)
    b.problem = "'" + file + "' holds " + std::to_string(b.values.size()) +
                " b-values for a series of " + std::to_string(volumes) + " volumes";
  if (!b.problem.empty()) b.values.clear();
  return b;
}

}  // namespace zarvo::cli

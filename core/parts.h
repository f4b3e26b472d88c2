// A range of work split into consecutive parts done side by side, for the
// passes over whole volumes outside the walks (clearing fresh memory,
// scanning an input, stabilising a volume).
#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

namespace zarvo {

// Calls part(p, begin, end) for the consecutive parts p = 0 .. parts - 1 of
// [0, n), on up to `threads` threads (part 0 on the calling thread), no part
// smaller than `smallest` unless it is the only one; returns the number of
// parts. A part whose thread cannot be started is done on the calling
// thread. `part` must not throw.
template <typename Part>
int in_parts(std::size_t n, int threads, std::size_t smallest, Part&& part) {
  std::size_t parts = std::max<std::size_t>(1, smallest > 0 ? n / smallest : n);
  parts = std::min<std::size_t>(parts, static_cast<std::size_t>(std::max(threads, 1)));
  if (parts == 1) {
    // On the calling thread, nothing allocated: interp1 comes here for
    // every group the Rician stages filter.
    part(0, std::size_t{0}, n);
    return 1;
  }
  const std::size_t share = (n + parts - 1) / parts;
  auto range = [&](std::size_t p, auto&& call) {
    const std::size_t begin = std::min(n, p * share), end = std::min(n, begin + share);
    call(static_cast<int>(p), begin, end);
  };
  std::vector<std::thread> helpers;
  helpers.reserve(parts);
  std::vector<std::size_t> left;  // parts no thread could be started for
  for (std::size_t p = 1; p < parts; ++p) {
    try {
      helpers.emplace_back([&range, &part, p] { range(p, part); });
    } catch (...) {
      left.push_back(p);
    }
  }
  range(0, part);
  for (std::size_t p : left) range(p, part);
  for (auto& h : helpers) h.join();
  return static_cast<int>(parts);
}

}  // namespace zarvo

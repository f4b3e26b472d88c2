// The report's plots as inline SVG (no script, no fonts to fetch).
#pragma once

#include <string>
#include <vector>

namespace zarvo::report {

// The residual's density in noise levels (bins of equal width from -range to
// +range, as counts) against the standard normal density.
std::string histogram_svg(const std::vector<double>& counts, double range, double outside);

// Per volume (1-based on the x axis): the noise level and the residual's
// spread, both in image units.
std::string series_svg(const std::vector<double>& levels, const std::vector<double>& spreads);

}  // namespace zarvo::report

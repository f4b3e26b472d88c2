#include "report/plots.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "report/text.h"

namespace zarvo::report {

namespace {

constexpr double width = 600, height = 300, left = 56, right = 16, top = 32, bottom = 40;
constexpr double pi = 3.14159265358979323846;

struct Axes {
  double x0, x1, y0, y1;
  double x(double v) const { return left + (v - x0) / (x1 - x0) * (width - left - right); }
  double y(double v) const {
    return height - bottom - (v - y0) / (y1 - y0) * (height - top - bottom);
  }
};

std::string start(const std::string& label) {
  std::ostringstream s;
  s << "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" aria-label=\"" << escape_html(label)
    << "\" width=\"" << width << "\" height=\"" << height << "\" viewBox=\"0 0 " << width << ' '
    << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
    << "<rect x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height
    << "\" fill=\"white\"/>\n";
  return s.str();
}

// Frame, ticks and labels of the axes.
std::string frame(const Axes& a, const std::vector<double>& xticks, const std::string& xlabel,
                  const std::string& ylabel) {
  std::ostringstream s;
  s << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << width - left - right
    << "\" height=\"" << height - top - bottom << "\" fill=\"none\" stroke=\"#444\"/>\n";
  for (double t : xticks)
    s << "<line x1=\"" << a.x(t) << "\" y1=\"" << height - bottom << "\" x2=\"" << a.x(t)
      << "\" y2=\"" << height - bottom + 4 << "\" stroke=\"#444\"/><text x=\"" << a.x(t)
      << "\" y=\"" << height - bottom + 16 << "\" text-anchor=\"middle\">" << number(t, 4)
      << "</text>\n";
  for (int i = 0; i <= 4; ++i) {
    const double v = a.y0 + (a.y1 - a.y0) * i / 4;
    s << "<text x=\"" << left - 4 << "\" y=\"" << a.y(v) + 4 << "\" text-anchor=\"end\">"
      << number(v, 3) << "</text>\n";
  }
  s << "<text x=\"" << left + (width - left - right) / 2 << "\" y=\"" << height - 6
    << "\" text-anchor=\"middle\">" << escape_html(xlabel) << "</text>\n"
    << "<text x=\"14\" y=\"" << top + (height - top - bottom) / 2
    << "\" text-anchor=\"middle\" transform=\"rotate(-90 14 " << top + (height - top - bottom) / 2
    << ")\">" << escape_html(ylabel) << "</text>\n";
  return s.str();
}

std::string legend(double x, double y, const char* colour, const std::string& text) {
  std::ostringstream s;
  s << "<line x1=\"" << x << "\" y1=\"" << y - 4 << "\" x2=\"" << x + 18 << "\" y2=\"" << y - 4
    << "\" stroke=\"" << colour << "\" stroke-width=\"2.5\"/><text x=\"" << x + 24 << "\" y=\"" << y
    << "\">" << escape_html(text) << "</text>\n";
  return s.str();
}

}  // namespace

std::string histogram_svg(const std::vector<double>& counts, double range, double outside) {
  double total = outside;
  for (double c : counts) total += c;
  const double w = 2 * range / static_cast<double>(counts.size());
  double peak = 1 / std::sqrt(2 * pi);
  std::vector<double> density(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) {
    density[i] = total > 0 ? counts[i] / (total * w) : 0;
    peak = std::max(peak, density[i]);
  }
  const Axes a{-range, range, 0, peak * 1.1};
  std::ostringstream s;
  s << start("residual histogram against the expected noise");
  s << "<path fill=\"#9db4cc\" stroke=\"#4a6a8a\" stroke-width=\"0.5\" d=\"M" << a.x(-range) << ','
    << a.y(0);
  for (std::size_t i = 0; i < density.size(); ++i) {
    const double x0 = -range + w * static_cast<double>(i);
    s << " L" << a.x(x0) << ',' << a.y(density[i]) << " L" << a.x(x0 + w) << ',' << a.y(density[i]);
  }
  s << " L" << a.x(range) << ',' << a.y(0) << " Z\"/>\n";
  s << "<polyline fill=\"none\" stroke=\"#c0392b\" stroke-width=\"2\" points=\"";
  for (int i = 0; i <= 200; ++i) {
    const double z = -range + 2 * range * i / 200;
    s << a.x(z) << ',' << a.y(std::exp(-0.5 * z * z) / std::sqrt(2 * pi)) << ' ';
  }
  s << "\"/>\n";
  std::vector<double> ticks;
  for (int t = -static_cast<int>(range); t <= static_cast<int>(range); ++t) ticks.push_back(t);
  s << frame(a, ticks, "residual in noise levels (input minus output, divided by the level)",
             "density");
  // The key above the frame, clear of the data.
  s << legend(left, 18, "#9db4cc", "residual");
  s << legend(left + 110, 18, "#c0392b", "expected noise (Gaussian, level 1)");
  s << "</svg>\n";
  return s.str();
}

std::string series_svg(const std::vector<double>& levels, const std::vector<double>& spreads) {
  const std::size_t n = levels.size();
  double top_value = 0;
  for (std::size_t i = 0; i < n; ++i)
    top_value = std::max({top_value, std::isfinite(levels[i]) ? levels[i] : 0.0,
                          std::isfinite(spreads[i]) ? spreads[i] : 0.0});
  if (!(top_value > 0)) top_value = 1;
  const double last = n > 1 ? static_cast<double>(n) : 2.0;
  const Axes a{1, last, 0, top_value * 1.15};
  std::ostringstream s;
  s << start("noise level and residual spread per volume");
  auto line = [&](const std::vector<double>& v, const char* colour) {
    s << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" points=\"";
    for (std::size_t i = 0; i < n; ++i)
      if (std::isfinite(v[i])) s << a.x(static_cast<double>(i + 1)) << ',' << a.y(v[i]) << ' ';
    s << "\"/>\n";
    if (n <= 64)
      for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(v[i]))
          s << "<circle cx=\"" << a.x(static_cast<double>(i + 1)) << "\" cy=\"" << a.y(v[i])
            << "\" r=\"2.5\" fill=\"" << colour << "\"/>\n";
  };
  line(levels, "#c0392b");
  line(spreads, "#2c6fa8");
  std::vector<double> ticks;
  const std::size_t every = std::max<std::size_t>(1, (n + 9) / 10);
  for (std::size_t i = 1; i <= n; i += every) ticks.push_back(static_cast<double>(i));
  s << frame(a, ticks, "volume", "image units");
  s << legend(left, 18, "#c0392b", "noise level used");
  s << legend(left + 160, 18, "#2c6fa8", "residual spread (1.4826 x MAD)");
  s << "</svg>\n";
  return s.str();
}

}  // namespace zarvo::report

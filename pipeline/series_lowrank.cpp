#include "series_lowrank.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "across_kernels.h"
#include "core/memory.h"
#include "core/parts.h"
#include "core/zarvo.h"
#include "lapack.h"
#include "stages/gaussian_transforms.h"
#include "stages/shrinkage.h"
#include "stages/stage.h"
#include "stages/walker.h"

namespace zarvo {

double noise_edge(int m, int n) {
  const double e = std::sqrt(static_cast<double>(m)) + std::sqrt(static_cast<double>(n));
  return e * e;
}

std::vector<double> kaiser_window(int side, int depth, double beta) {
  const auto along = [beta](int n) {
    std::vector<double> w(static_cast<std::size_t>(std::max(n, 0)), 1.0);
    if (n < 2) return w;
    const double scale = std::cyl_bessel_i(0.0, beta);
    for (int i = 0; i < n; ++i) {
      const double x = 2.0 * i / (n - 1) - 1.0;
      w[static_cast<std::size_t>(i)] =
          std::cyl_bessel_i(0.0, beta * std::sqrt(std::max(0.0, 1.0 - x * x))) / scale;
    }
    return w;
  };
  const std::vector<double> across = along(side), deep = along(depth);
  std::vector<double> window;
  window.reserve(across.size() * across.size() * deep.size());
  for (double d : deep)
    for (double l : across)
      for (double m : across) window.push_back(d * l * m);
  return window;
}

namespace {

using stages::Layout;

// One filtered group as aggregation takes it: the group's estimate is
// axes * coords', coords (M x kept) its values along the kept local axes,
// axes (components x kept) those axes.
struct GroupEstimate {
  int L = 0, kept = 0;
  std::vector<std::uint16_t> positions;
  std::vector<std::size_t> at;  // where each voxel of the group lies in the band
  std::vector<double> coords, axes;
  std::vector<double> padded;  // the axes at the band's stride, 0 past the components
  double weight = 0;
};

// Where a buffer's first whole cache line starts: the gathered matrices'
// columns are written a cache line at a time, and a line split across two
// cost a third of the gathering time.
double* line_aligned(std::vector<double>& v) {
  const std::uintptr_t p = reinterpret_cast<std::uintptr_t>(v.data());
  return reinterpret_cast<double*>((p + 63) & ~std::uintptr_t{63});
}

// A thread's scratch for filtering groups (group and pilot have 7 doubles
// to spare for line_aligned).
struct Scratch {
  stages::Workspace w;
  std::vector<double> group, pilot, pilot_coords, gram, values;
  SymmetricEigen eigen{true, 'L'};
};

// The sums of a band of slices, used round-robin as the walk moves on:
// every component image's numerator (single precision, as the series is
// held), held voxel by voxel (a voxel's components side by side, so that
// adding a group's estimate writes a few cache lines per voxel, not one
// per component image; each voxel's padded to whole vectors), and the
// weights the images share: those before `windowed_from`, and the windowed
// ones of the images from it on.
class Band {
 public:
  Band(const Layout& g, int images, int windowed_from, int threads)
      : images_(images),
        windowed_from_(windowed_from < 0 ? images : std::min(windowed_from, images)),
        stride_(across::padded_components(images)),
        reach_(stages::matching_reach(g)),
        slices_(g.ndims == 3 ? g.dims[2] : 1),
        plane_(static_cast<std::size_t>(g.dims[0]) * static_cast<std::size_t>(g.dims[1])) {
    depth_ = std::min(slices_, 2 * reach_ + g.cube_depth);
    const std::size_t held = plane_ * static_cast<std::size_t>(depth_);
    resize_large(numerators_, held * static_cast<std::size_t>(stride_), threads);
    resize_large(weights_, held, threads);
    std::fill(numerators_.begin(), numerators_.end(), 0.0f);
    std::fill(weights_.begin(), weights_.end(), 0.0);
    if (windowed_from_ < images_) {
      resize_large(windowed_, held, threads);
      std::fill(windowed_.begin(), windowed_.end(), 0.0);
    }
  }
  int slices() const { return slices_; }
  int reach() const { return reach_; }
  int depth() const { return depth_; }
  std::size_t plane() const { return plane_; }
  int stride() const { return stride_; }
  // Where voxel v of the volume lies in the band's slices.
  std::size_t at(std::size_t v) const {
    const std::size_t z = v / plane_;
    return (z % static_cast<std::size_t>(depth_)) * plane_ + (v - z * plane_);
  }
  // The numerators of every component image at `at` in the band.
  float* sums(std::size_t at) {
    return numerators_.data() + at * static_cast<std::size_t>(stride_);
  }
  double* weights() { return weights_.data(); }
  // The windowed weights (null when no image is windowed), and the first
  // image they serve.
  double* windowed() { return windowed_.empty() ? nullptr : windowed_.data(); }
  int windowed_from() const { return windowed_from_; }

  // Every slice before z - reach (1-based) not yet written: each image's
  // estimate where a group reached the voxel, else `from`'s value. The
  // images past the band's (beyond the span) are 0 where a group reached.
  void flush_before(int z, const SeriesStore& from, SeriesStore& to, int threads) {
    const int last = std::min(slices_, z - reach_ - 1);
    const std::size_t n = static_cast<std::size_t>(stride_);
    const int all = from.volumes();
    for (int s = flushed_ + 1; s <= last; ++s) {
      const std::size_t offset = static_cast<std::size_t>(s - 1) * plane_;
      const std::size_t in_band = static_cast<std::size_t>((s - 1) % depth_) * plane_;
      in_parts(plane_, threads, 4096, [&](int, std::size_t begin, std::size_t end) {
        double* w = weights_.data() + in_band;
        double* ww = windowed_.empty() ? w : windowed_.data() + in_band;
        float* sum = sums(in_band);
        for (int k = 0; k < images_; ++k) {
          const float* noisy = from.volume(k) + offset;
          float* out = to.volume(k) + offset;
          // A window is positive everywhere: a voxel reached has both weights.
          const double* d = k < windowed_from_ ? w : ww;
          for (std::size_t i = begin; i < end; ++i)
            out[i] = w[i] > 0 ? static_cast<float>(sum[i * n + k] / d[i]) : noisy[i];
        }
        for (int k = images_; k < all; ++k) {
          const float* noisy = from.volume(k) + offset;
          float* out = to.volume(k) + offset;
          for (std::size_t i = begin; i < end; ++i) out[i] = w[i] > 0 ? 0.0f : noisy[i];
        }
        std::fill(sum + begin * n, sum + end * n, 0.0f);
        std::fill(w + begin, w + end, 0.0);
        if (ww != w) std::fill(ww + begin, ww + end, 0.0);
      });
    }
    flushed_ = std::max(flushed_, last);
  }

 private:
  int images_, windowed_from_, stride_, reach_, slices_, depth_ = 1;
  std::size_t plane_;
  Buffer<float> numerators_;
  Buffer<double> weights_, windowed_;
  int flushed_ = 0;
};

// The band's slices of a series held voxel by voxel: every component's
// value of a voxel side by side (padded as the band's sums are), so that
// gathering a group reads a cache line or two per voxel instead of one per
// component image (the component images lie far apart; gathering them took
// about a third of a group's time beside its BLAS calls).
class Interleaved {
 public:
  Interleaved(const Band& band, const SeriesStore& store, int components, int threads)
      : band_(band), store_(store), n_(components), stride_(band.stride()) {
    // Zeroed as it is made: the padding stays 0.
    resize_large(values_, band.plane() * static_cast<std::size_t>(band.depth()) * stride_, threads);
  }
  // Holds every slice the groups of reference slice z (1-based) may read:
  // from z - reach (or the first) up to as many as the band has room for.
  void hold_for(int z, int threads) {
    const int lowest = std::max(1, z - band_.reach());
    const int low = std::max(held_ + 1, lowest);
    const int high = std::min(band_.slices(), lowest + band_.depth() - 1);
    const std::size_t plane = band_.plane();
    for (int s = low; s <= high; ++s) {
      const std::size_t offset = static_cast<std::size_t>(s - 1) * plane;
      float* to = values_.data() + band_.at(offset) * stride_;
      in_parts(plane, threads, 4096, [&](int, std::size_t begin, std::size_t end) {
        for (int k = 0; k < n_; ++k) {
          const float* image = store_.volume(k) + offset;
          for (std::size_t v = begin; v < end; ++v) to[v * stride_ + k] = image[v];
        }
      });
    }
    held_ = std::max(held_, high);
  }
  // The components of the voxel at `at` in the band (then 0 up to stride()).
  const float* voxel(std::size_t at) const { return values_.data() + at * stride_; }
  std::size_t stride() const { return stride_; }

 private:
  const Band& band_;
  const SeriesStore& store_;
  int n_;
  std::size_t stride_;
  Buffer<float> values_;
  int held_ = 0;
};

class AcrossFilter {
 public:
  AcrossFilter(const Layout& g, const stages::Transforms& t, const stages::GroupTable& groups,
               const AcrossSettings& s, const Interleaved& from, const Interleaved* pilot,
               const Band& band, int components)
      : g_(g),
        t_(t),
        groups_(groups),
        s_(s),
        from_(from),
        pilot_(pilot),
        band_(band),
        n_(components),
        window_(kaiser_window(g.cube_side, g.cube_depth, s.window_beta)) {}

  Scratch scratch() const {
    Scratch c;
    c.w = stages::allocate_workspace(g_, pilot_ ? stages::StageKind::wie : stages::StageKind::thr);
    const std::size_t rows = static_cast<std::size_t>(g_.largest_group) * g_.cube_len;
    c.group.resize(rows * static_cast<std::size_t>(n_) + 7);
    if (pilot_) c.pilot.resize(rows * static_cast<std::size_t>(n_) + 7);
    c.gram.resize(static_cast<std::size_t>(n_) * n_);
    c.values.resize(static_cast<std::size_t>(n_));
    return c;
  }

  // The group of the reference cube (x, y, z) filtered into `out`; false
  // when the eigen-decomposition failed.
  bool filter(int x, int y, int z, Scratch& c, GroupEstimate& out) const {
    stages::Workspace& w = c.w;
    const int L = groups_.group(x, y, z, w.positions);
    out.L = L;
    out.kept = 0;
    if (L == 0) return true;
    out.positions.assign(w.positions, w.positions + 3 * L);
    out.at.resize(static_cast<std::size_t>(L) * g_.cube_len);
    place(w.positions, L, out.at.data());
    const int cube = g_.cube_len;
    const int M = L * cube;
    double* group = line_aligned(c.group);
    double* pilot = pilot_ ? line_aligned(c.pilot) : nullptr;
    gather(from_, out.at, M, group);
    if (pilot_) gather(*pilot_, out.at, M, pilot);
    const double* basis_of = pilot_ ? pilot : group;

    // The Gram matrix's lower triangle, all dsyevd reads.
    const blas_int order = n_, rows = M;
    const double one = 1.0, zero = 0.0;
    dsyrk_("L", "T", &order, &rows, &one, basis_of, &rows, &zero, c.gram.data(), &order, 1, 1);
    if (!c.eigen.solve(c.gram.data(), order, c.values.data())) return false;

    const double edge = pilot_ ? s_.pilot_floor * M : noise_edge(M, n_);
    int kept = 0;
    while (kept < n_ && c.values[static_cast<std::size_t>(n_ - 1 - kept)] > edge) ++kept;
    out.kept = kept;
    double retained = 0;
    if (kept > 0) {
      // The kept axes, largest first (dsyevd orders them ascending).
      out.axes.resize(static_cast<std::size_t>(n_) * kept);
      for (int j = 0; j < kept; ++j) {
        const double* axis = c.gram.data() + static_cast<std::size_t>(n_ - 1 - j) * n_;
        std::copy(axis, axis + n_, out.axes.begin() + static_cast<std::ptrdiff_t>(j) * n_);
      }
      const std::size_t stride = static_cast<std::size_t>(band_.stride());
      out.padded.assign(stride * kept, 0.0);
      for (int j = 0; j < kept; ++j)
        std::copy(out.axes.begin() + static_cast<std::ptrdiff_t>(j) * n_,
                  out.axes.begin() + static_cast<std::ptrdiff_t>(j + 1) * n_,
                  out.padded.begin() + static_cast<std::ptrdiff_t>(j * stride));
      out.coords.resize(static_cast<std::size_t>(M) * kept);
      mtimes(group, 'N', out.axes.data(), 'N', M, kept, n_, out.coords.data());
      if (pilot_) {
        c.pilot_coords.resize(static_cast<std::size_t>(M) * kept);
        mtimes(pilot, 'N', out.axes.data(), 'N', M, kept, n_, c.pilot_coords.data());
      }
      stages::load_group_matrices(t_, L, w);
      const int off = g_.group_offset(L);
      double* spectrum = w.group_spectrum + off;
      for (int j = 0; j < kept; ++j) {
        double* coord = out.coords.data() + static_cast<std::size_t>(j) * M;
        std::copy(coord, coord + M, spectrum);
        forward_transformation(w.products, spectrum, w.group_buf + off, g_.cube_side, g_.cube_depth,
                               L, w.slice_tmp, w.cube_slices, t_.slice_forward, t_.depth_forward,
                               w.group_forward, spectrum);
        if (pilot_) {
          double* hat = w.group_spectrum_hat + off;
          const double* p = c.pilot_coords.data() + static_cast<std::size_t>(j) * M;
          std::copy(p, p + M, hat);
          forward_transformation(w.products, hat, w.group_buf_hat + off, g_.cube_side,
                                 g_.cube_depth, L, w.slice_tmp, w.cube_slices, t_.slice_forward,
                                 t_.depth_forward, w.group_forward, hat);
          retained += stages::wiener_shrink(spectrum, hat, M, 1.0);
        } else {
          stages::threshold_spectrum(spectrum, M, s_.threshold, 1.0, false, 1.0);
          for (int i = 0; i < M; ++i)
            if (spectrum[i] != 0) retained += 1;
        }
        const double* filtered = stages::inverse_spectrum(g_, t_, L, w);
        std::copy(filtered, filtered + M, coord);
      }
    }
    out.weight = 1.0 / (pilot_ ? std::max(retained, 1e-6) : std::max(retained, 1.0));
    return true;
  }

  // The group's estimate added into every component image's numerator and
  // its weight into the weights, at the voxels of part `part` of `parts`
  // (the voxels' columns x taken in turn: parts never share a cache line).
  // From the band's windowed image on, the estimate is weighed by the
  // window at the voxel's place in the cube.
  void add(const GroupEstimate& e, int part, int parts, Band& band) const {
    across::GroupAddition a;
    a.coords = e.coords.data();
    a.axes = e.padded.data();
    a.M = e.L * g_.cube_len;
    a.kept = e.kept;
    a.stride = band.stride();
    a.run = g_.cube_side;
    a.at = e.at.data();
    a.plane = band.plane();
    a.rows = static_cast<std::size_t>(g_.dims[0]);
    a.part = part;
    a.parts = parts;
    a.weight = e.weight;
    a.sums = band.sums(0);
    a.weights = band.weights();
    if (band.windowed()) {
      a.window = window_.data();
      a.window_len = g_.cube_len;
      a.windowed_from = band.windowed_from();
      a.windowed = band.windowed();
    }
    across::add_group(a);
  }

 private:
  // Where each voxel of the group's cubes lies in the band, in gather
  // order (cube by cube, slice by slice, each slice column-major); the band
  // is found once a slice of a cube (its slices lie round-robin).
  void place(const std::uint16_t* positions, int L, std::size_t* at) const {
    const std::size_t rows = static_cast<std::size_t>(g_.dims[0]);
    const std::size_t plane = rows * static_cast<std::size_t>(g_.dims[1]);
    int i = 0;
    for (int c = 0; c < L; ++c) {
      const std::size_t first = static_cast<std::size_t>(
          get_linear_index(positions[3 * c], positions[3 * c + 1], positions[3 * c + 2], g_.dims));
      for (int s = 0; s < g_.cube_depth; ++s) {
        const std::size_t slice_first = band_.at(first + s * plane);
        for (int l = 0; l < g_.cube_side; ++l) {
          const std::size_t column = slice_first + l * rows;
          for (int m = 0; m < g_.cube_side; ++m) at[i++] = column + m;
        }
      }
    }
  }

  // The group's M voxels (at their places in the band) into the columns of
  // the M x components matrix `to`, four voxels and four components at a
  // time (a 4 x 4 block turned in registers).
  void gather(const Interleaved& series, const std::vector<std::size_t>& at, int M,
              double* to) const {
    across::gather_columns(series.voxel(0), series.stride(), at.data(), M, n_, to);
  }

  const Layout& g_;
  const stages::Transforms& t_;
  const stages::GroupTable& groups_;
  const AcrossSettings& s_;
  const Interleaved& from_;
  const Interleaved* pilot_;
  const Band& band_;
  const int n_;
  const std::vector<double> window_;  // over a cube's voxels, in gather order
};

}  // namespace

void filter_across(const stages::Geometry& geometry, const stages::Transforms& transforms,
                   const stages::GroupTable& groups, const AcrossSettings& settings,
                   const SeriesStore& from, const SeriesStore* pilot, SeriesStore& to,
                   int threads) {
  const Layout g(geometry);
  stages::check_table(g, &groups);
  const int n = settings.span > 0 ? std::min(settings.span, from.volumes()) : from.volumes();
  threads = std::max(threads, 1);
  Band band(g, n, settings.window_from, threads);
  Interleaved from_held(band, from, n, threads);
  std::unique_ptr<Interleaved> pilot_held;
  if (pilot) pilot_held = std::make_unique<Interleaved>(band, *pilot, n, threads);
  const AcrossFilter filter(g, transforms, groups, settings, from_held, pilot_held.get(), band, n);

  const std::vector<int> cubes = stages::detail::reference_list(g, stages::reference_cubes(g));
  const std::size_t total = cubes.size() / 3;
  std::vector<Scratch> scratch;
  for (int p = 0; p < threads; ++p) scratch.push_back(filter.scratch());
  // Groups are filtered a batch at a time side by side, then aggregated in
  // the walk's order, each component image by one thread: the sums never
  // depend on the number of threads. Slices no later group reaches are
  // final and written out before the next batch is filtered (so `to` may
  // be the pilot: a slice is written once no group reads it any more).
  // A thread's share of a batch holds at most 2048 / components groups:
  // a group keeps up to (voxels x components) doubles.
  const std::size_t batch =
      static_cast<std::size_t>(threads) * std::max<std::size_t>(1, std::min(64, 2048 / n));
  std::vector<GroupEstimate> found(batch);
  for (std::size_t first = 0, count = 0; first < total; first += count) {
    // A batch holds groups of one reference slice only: the band then
    // holds every slice they reach.
    count = 1;
    while (count < batch && first + count < total &&
           cubes[3 * (first + count) + 2] == cubes[3 * first + 2])
      ++count;
    band.flush_before(cubes[3 * first + 2], from, to, threads);
    // After the flush: it writes only slices the batch no longer reads.
    from_held.hold_for(cubes[3 * first + 2], threads);
    if (pilot_held) pilot_held->hold_for(cubes[3 * first + 2], threads);
    std::vector<char> failed(count, 0);
    // Groups differ in cost (the axes kept): each thread takes the next
    // group left, so none waits on a share of costly ones.
    std::atomic<std::size_t> next{0};
    in_parts(static_cast<std::size_t>(threads), threads, 1,
             [&](int part, std::size_t, std::size_t) {
               Scratch& own = scratch[static_cast<std::size_t>(part)];
               for (std::size_t i = next++; i < count; i = next++) {
                 const int* c = &cubes[3 * (first + i)];
                 if (!filter.filter(c[0], c[1], c[2], own, found[i])) failed[i] = 1;
               }
             });
    if (std::find(failed.begin(), failed.end(), 1) != failed.end())
      throw Error("the local axes of a group cannot be computed (LAPACK dsyevd)");
    // Part p adds the voxels of its rows: every voxel still sums its groups
    // in the walk's order.
    const int parts = threads;
    in_parts(static_cast<std::size_t>(parts), parts, 1, [&](int part, std::size_t, std::size_t) {
      for (std::size_t i = 0; i < count; ++i) filter.add(found[i], part, parts, band);
    });
  }
  band.flush_before(band.slices() + 1 + band.reach(), from, to, threads);
}

}  // namespace zarvo

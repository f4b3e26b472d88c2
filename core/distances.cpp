// Block-matching distances, scalar and SIMD (Highway, compiled for several
// instruction sets and dispatched at run time to the best the CPU has).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/distances.cpp"
#include "core/distances.h"

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace zarvo::detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// A piece of a block of candidates: `lanes` candidates of one column on
// consecutive rows (one load), or half that many from each of two columns
// (two half loads put together). out[] says where each lane's distance goes
// (-1: nowhere, a lane past the window).
struct Piece {
  const double* lo;
  const double* hi;  // second column of a paired piece, else unused
  int out[row_block];
};

// Distances of up to eight pieces at once, one candidate per lane. Each lane
// adds its squared differences in the order of the offsets, exactly as the
// scalar loop does; no multiply-add is fused (the library is built with
// -ffp-contract=off).
template <bool kPaired, int kPieces, class D>
HWY_INLINE void pieces(D d, const CubeDistance& k, const Piece* p, double* out) {
  using V = hn::Vec<D>;
  const auto load = [&](const Piece& q, std::ptrdiff_t o) HWY_ATTR {
#if HWY_TARGET != HWY_SCALAR
    if constexpr (kPaired) {
      const hn::Half<D> dh;
      return hn::Combine(d, hn::LoadU(dh, q.hi + o), hn::LoadU(dh, q.lo + o));
    }
#endif
    return hn::LoadU(d, q.lo + o);
  };
  V s[kPieces];
  for (int j = 0; j < kPieces; ++j) s[j] = hn::Zero(d);
  for (int t = 0; t < k.cube_len; ++t) {
    const V r = hn::Set(d, k.ref[t]);
    const std::ptrdiff_t o = k.offsets[t];
#pragma GCC unroll 8
    for (int j = 0; j < kPieces; ++j) {
      const V e = hn::Sub(r, load(p[j], o));
      s[j] = hn::Add(s[j], hn::Mul(e, e));
    }
  }
  const int lanes = static_cast<int>(hn::Lanes(d));
  HWY_ALIGN double sums[kPieces * row_block];
  for (int j = 0; j < kPieces; ++j) hn::Store(s[j], d, sums + j * lanes);
  for (int j = 0; j < kPieces; ++j)
    for (int l = 0; l < lanes; ++l)
      if (p[j].out[l] >= 0) out[p[j].out[l]] = sums[j * lanes + l];
}

template <bool kPaired, class D>
void all_pieces(D d, const CubeDistance& k, const Piece* p, int n, double* out) {
  for (; n >= 8; n -= 8, p += 8) pieces<kPaired, 8>(d, k, p, out);
  if (n >= 4) {
    pieces<kPaired, 4>(d, k, p, out);
    n -= 4;
    p += 4;
  }
  if (n == 3) pieces<kPaired, 3>(d, k, p, out);
  if (n == 2) pieces<kPaired, 2>(d, k, p, out);
  if (n == 1) pieces<kPaired, 1>(d, k, p, out);
}

void BlockDistances(const CubeDistance& k, int x0, int ncols, int y0, int nrows, int z,
                    double* out) {
  const hn::CappedTag<double, row_block> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const int half = lanes / 2;
  const std::ptrdiff_t last = k.offsets[k.cube_len - 1];  // the largest offset
  const double* top =
      k.volume + (y0 - 1) + k.rows * static_cast<std::ptrdiff_t>(x0 - 1) + k.plane * (z - 1);
  // A load that would run past the end of the volume (lanes past the window
  // read further rows, near the volume's end beyond it): those candidates
  // go one by one.
  const auto fits = [&](const double* p, int n) { return p - k.volume + last + n <= k.voxels; };

  // Columns a few at a time. Each column is cut into whole-vector pieces
  // while more than half a vector of rows is left; a shorter rest is paired
  // with the rest of the next column, so that an 11-row window takes one and
  // a half vectors of 8 lanes per column instead of two.
  constexpr int kChunk = 8;
  Piece full[kChunk * row_block], paired[kChunk];
  for (int c0 = 0; c0 < ncols; c0 += kChunk) {
    const int c1 = ncols - c0 < kChunk ? ncols : c0 + kChunk;
    int nfull = 0, npaired = 0;
    bool open_pair = false;
    for (int c = c0; c < c1; ++c) {
      const double* column = top + k.rows * static_cast<std::ptrdiff_t>(c);
      int r = 0;
      for (; nrows - r > half || (half == 0 && r < nrows); r += lanes) {
        if (!fits(column + r, lanes)) break;
        Piece& q = full[nfull++];
        q.lo = column + r;
        for (int l = 0; l < lanes; ++l) q.out[l] = r + l < nrows ? (r + l) * ncols + c : -1;
      }
      if (r >= nrows) continue;
      if (half > 0 && nrows - r <= half && fits(column + r, half)) {
        // The rest of this column: the low half of a new pair, or the high
        // half of the open one.
        Piece& q = open_pair ? paired[npaired - 1] : paired[npaired++];
        const int lane0 = open_pair ? half : 0;
        if (open_pair) {
          q.hi = column + r;
        } else {
          q.lo = q.hi = column + r;  // alone until a partner comes
          for (int l = 0; l < lanes; ++l) q.out[l] = -1;
        }
        for (int l = 0; l < half; ++l) q.out[lane0 + l] = r + l < nrows ? (r + l) * ncols + c : -1;
        open_pair = !open_pair;
        continue;
      }
      double rest[row_block];
      block_distances_scalar(k, x0 + c, 1, y0 + r, nrows - r, z, rest);
      for (int i = 0; i < nrows - r; ++i) out[(r + i) * ncols + c] = rest[i];
    }
    all_pieces<false>(d, k, full, nfull, out);
    all_pieces<true>(d, k, paired, npaired, out);
  }
}

int KeepBelow(const double* HWY_RESTRICT v, int count, double at_most, double below,
              int* HWY_RESTRICT index) {
  const hn::ScalableTag<double> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const auto va = hn::Set(d, at_most), vb = hn::Set(d, below);
  int kept = 0;
  const auto scan = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      index[kept] = i;
      kept += (v[i] <= at_most) & (v[i] < below);
    }
  };
  int i = 0;
  for (; i + lanes <= count; i += lanes) {
    const auto u = hn::LoadU(d, v + i);
    if (!hn::AllFalse(d, hn::And(hn::Le(u, va), hn::Lt(u, vb)))) scan(i, i + lanes);
  }
  scan(i, count);
  return kept;
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace zarvo::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo::detail {

HWY_EXPORT(BlockDistances);
HWY_EXPORT(TargetName);
HWY_EXPORT(KeepBelow);

int keep_below(const double* v, int count, double at_most, double below, int* index) {
  return HWY_DYNAMIC_DISPATCH(KeepBelow)(v, count, at_most, below, index);
}

void block_distances_scalar(const CubeDistance& k, int x0, int ncols, int y0, int nrows, int z,
                            double* out) {
  for (int r = 0; r < nrows; ++r) {
    for (int c = 0; c < ncols; ++c) {
      const double* p = k.volume + (y0 + r - 1) + k.rows * static_cast<std::ptrdiff_t>(x0 + c - 1) +
                        k.plane * (z - 1);
      double d = 0.0;
      for (int t = 0; t < k.cube_len; ++t) {
        const double diff = k.ref[t] - p[k.offsets[t]];
        d += diff * diff;
      }
      out[r * ncols + c] = d;
    }
  }
}

void block_distances_simd(const CubeDistance& k, int x0, int ncols, int y0, int nrows, int z,
                          double* out) {
  HWY_DYNAMIC_DISPATCH(BlockDistances)(k, x0, ncols, y0, nrows, z, out);
}

const char* simd_target_name() { return HWY_DYNAMIC_DISPATCH(TargetName)(); }

}  // namespace zarvo::detail
#endif

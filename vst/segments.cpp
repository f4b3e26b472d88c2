// SIMD evaluation of interp1's formula (Highway, dispatched at run time).
// The four table entries of each query are gathered; subtraction, division,
// multiplication and addition round the same in every lane as in scalar
// code, and nothing is fused, so the results are the scalar loop's bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vst/segments.cpp"
#include "vst/segments.h"

#include <cmath>
#include <cstdint>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace zarvo::vst {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void EvaluateSegments(const double* HWY_RESTRICT x, const double* HWY_RESTRICT y,
                      const double* HWY_RESTRICT q, const int* HWY_RESTRICT segment,
                      double* HWY_RESTRICT out, int count) {
  const hn::ScalableTag<double> d;
  const hn::RebindToSigned<decltype(d)> di;  // 64-bit indices
  const hn::Rebind<std::int32_t, decltype(d)> d32;
  const int n = static_cast<int>(hn::Lanes(d));
  const auto one = hn::Set(di, 1);
  int i = 0;
  for (; i + n <= count; i += n) {
    const auto right = hn::PromoteTo(di, hn::LoadU(d32, segment + i));
    const auto left = hn::Sub(right, one);
    const auto x0 = hn::GatherIndex(d, x, left);
    const auto x1 = hn::GatherIndex(d, x, right);
    const auto y0 = hn::GatherIndex(d, y, left);
    const auto y1 = hn::GatherIndex(d, y, right);
    const auto v = hn::LoadU(d, q + i);
    const auto r = hn::Add(hn::Mul(hn::Div(hn::Sub(v, x0), hn::Sub(x1, x0)), hn::Sub(y1, y0)), y0);
    hn::StoreU(r, d, out + i);
  }
  for (; i < count; ++i) {
    const int j = segment[i];
    out[i] = ((q[i] - x[j - 1]) / (x[j] - x[j - 1])) * (y[j] - y[j - 1]) + y[j - 1];
  }
}

// The bucket of each query (at most `block` of them): its own bucket for an
// inner query, truncated as the scalar cast does, else one of the two
// outside buckets.
constexpr int block = 256;

void Buckets(const KnotFinder& finder, const double* HWY_RESTRICT q, int* HWY_RESTRICT bucket,
             int count) {
  const hn::ScalableTag<double> d;
  const hn::Rebind<std::int32_t, decltype(d)> d32;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const double lo = finder.low(), hi = finder.high();
  const auto vlo = hn::Set(d, lo), vhi = hn::Set(d, hi), vscale = hn::Set(d, finder.scale());
  const auto last = hn::Set(d, finder.buckets() - 1.0);
  const auto below = hn::Set(d, finder.below_bucket()), above = hn::Set(d, finder.above_bucket());
  int i = 0;
  for (; i + lanes <= count; i += lanes) {
    const auto v = hn::LoadU(d, q + i);
    const auto inner = hn::And(hn::Gt(v, vlo), hn::Le(v, vhi));
    const auto t = hn::Min(hn::Mul(hn::Sub(v, vlo), vscale), last);  // inner: 0 .. last
    const auto b = hn::IfThenElse(inner, t, hn::IfThenElse(hn::Gt(v, vhi), above, below));
    hn::StoreU(hn::DemoteTo(d32, b), d32, bucket + i);
  }
  for (; i < count; ++i) {
    const double v = q[i];
    if (v > lo && v <= hi) {
      const double t = (v - lo) * finder.scale();
      bucket[i] = t < finder.buckets() - 1 ? static_cast<int>(t) : finder.buckets() - 1;
    } else {
      bucket[i] = v > hi ? finder.above_bucket() : finder.below_bucket();
    }
  }
}

// Copies the record of interval j to `to`: one vector where it holds four
// doubles.
HWY_INLINE void copy_record(const double* HWY_RESTRICT records, int j, double* HWY_RESTRICT to) {
  const hn::CappedTag<double, 4> d4;
  const int lanes = static_cast<int>(hn::Lanes(d4));
  for (int k = 0; k < 4; k += lanes) hn::StoreU(hn::LoadU(d4, records + 4 * j + k), d4, to + k);
}

// The interval a bucket gives its query: right when the bucket holds at most
// one knot, which the caller checks.
inline int bucket_interval(const KnotFinder& finder, int b, double v) {
  return finder.starts()[b] + (finder.splits()[b] < v);
}

void FindSegments(const double* HWY_RESTRICT x, const KnotFinder& finder,
                  const double* HWY_RESTRICT q, int* HWY_RESTRICT segment, int count) {
  int bucket[block];
  for (int begin = 0; begin < count; begin += block) {
    const int n = count - begin < block ? count - begin : block;
    const double* v = q + begin;
    int* s = segment + begin;
    Buckets(finder, v, bucket, n);
    // Branch-free: which side of a knot an unordered query falls is a coin
    // toss for the branch predictor. Inner queries check their interval.
    bool wrong = false;
    for (int i = 0; i < n; ++i) {
      const int b = bucket[i], j = bucket_interval(finder, b, v[i]);
      s[i] = j;
      wrong |= (b < finder.buckets()) & !((x[j - 1] < v[i]) & (v[i] <= x[j]));
    }
    if (wrong) {  // a bucket with several knots
      for (int i = 0; i < n; ++i) s[i] = finder.find(x, v[i]);
    }
  }
}

// Each query's interval from its bucket (into segment[], when given), and
// its record copied to picked[4 * i], for at most `block` queries.
HWY_INLINE void pick_records(const KnotFinder& finder, const double* HWY_RESTRICT records,
                             const double* HWY_RESTRICT q, int count, double* HWY_RESTRICT picked,
                             int* HWY_RESTRICT segment) {
  int bucket[block];
  Buckets(finder, q, bucket, count);
  for (int i = 0; i < count; ++i) {
    const int j = bucket_interval(finder, bucket[i], q[i]);
    if (segment) segment[i] = j;
    copy_record(records, j, picked + 4 * i);
  }
}

// False when an inner query of the vector u lies outside the interval
// (x0, x1] of its record: its bucket held several knots.
template <class D, class V>
HWY_INLINE bool in_their_intervals(D d, const KnotFinder& finder, V u, V x0, V x1) {
  const auto inner =
      hn::And(hn::Gt(u, hn::Set(d, finder.low())), hn::Le(u, hn::Set(d, finder.high())));
  const auto fits = hn::And(hn::Lt(x0, u), hn::Le(u, x1));
  return hn::AllTrue(d, hn::Or(fits, hn::Not(inner)));
}

void InterpolateRecords(const double* HWY_RESTRICT x, const KnotFinder& finder,
                        const double* HWY_RESTRICT records, const double* HWY_RESTRICT q,
                        double* HWY_RESTRICT out, int count) {
  const hn::ScalableTag<double> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  HWY_ALIGN double picked[4 * block];
  for (int begin = 0; begin < count; begin += block) {
    const int n = count - begin < block ? count - begin : block;
    const double* v = q + begin;
    double* o = out + begin;
    pick_records(finder, records, v, n, picked, nullptr);
    // A query whose bucket held several knots, and the rest of a short
    // block, are found one by one.
    const auto one_by_one = [&](int from, int to) {
      for (int k = from; k < to; ++k) {
        const double* r = records + 4 * finder.find(x, v[k]);
        o[k] = ((v[k] - r[0]) / (r[1] - r[0])) * (r[3] - r[2]) + r[2];
      }
    };
    int i = 0;
    for (; i + lanes <= n; i += lanes) {
      hn::Vec<decltype(d)> x0, x1, y0, y1;
      hn::LoadInterleaved4(d, picked + 4 * i, x0, x1, y0, y1);
      const auto u = hn::LoadU(d, v + i);
      if (HWY_UNLIKELY(!in_their_intervals(d, finder, u, x0, x1))) {
        one_by_one(i, i + lanes);
        continue;
      }
      const auto r =
          hn::Add(hn::Mul(hn::Div(hn::Sub(u, x0), hn::Sub(x1, x0)), hn::Sub(y1, y0)), y0);
      hn::StoreU(r, d, o + i);
    }
    one_by_one(i, n);
  }
}

int WalkBlock(const double* HWY_RESTRICT x, const KnotFinder& finder,
              const double* HWY_RESTRICT records, const double* HWY_RESTRICT q,
              double* HWY_RESTRICT out, int* HWY_RESTRICT segment, int* HWY_RESTRICT hits,
              int count) {
  const hn::ScalableTag<double> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  HWY_ALIGN double picked[4 * block];
  pick_records(finder, records, q, count, picked, segment);
  int nhits = 0;
  const auto one_by_one = [&](int from, int to) {
    for (int k = from; k < to; ++k) {
      const double v = q[k];
      const int j = finder.find(x, v);
      const double* r = records + 4 * j;
      segment[k] = j;
      out[k] = (v - r[0]) * r[3] + r[2];
      if (v == r[1] || v != v) hits[nhits++] = k;
    }
  };
  int i = 0;
  for (; i + lanes <= count; i += lanes) {
    hn::Vec<decltype(d)> x0, x1, y0, s;
    hn::LoadInterleaved4(d, picked + 4 * i, x0, x1, y0, s);
    const auto u = hn::LoadU(d, q + i);
    if (HWY_UNLIKELY(!in_their_intervals(d, finder, u, x0, x1))) {
      one_by_one(i, i + lanes);
      continue;
    }
    hn::StoreU(hn::Add(hn::Mul(hn::Sub(u, x0), s), y0), d, out + i);
    if (HWY_UNLIKELY(!hn::AllFalse(d, hn::Or(hn::Eq(u, x1), hn::Ne(u, u))))) {
      for (int k = i; k < i + lanes; ++k)
        if (q[k] == picked[4 * k + 1] || q[k] != q[k]) hits[nhits++] = k;
    }
  }
  one_by_one(i, count);
  return nhits;
}

bool AllAtEnds(const double* HWY_RESTRICT in, int count, double first, double last) {
  const hn::ScalableTag<double> d;
  const int n = static_cast<int>(hn::Lanes(d));
  const auto lo = hn::Set(d, first), hi = hn::Set(d, last);
  int i = 0;
  const auto at_ends = [&](const double* p) HWY_ATTR {
    const auto v = hn::LoadU(d, p);
    return hn::Or(hn::Le(v, lo), hn::Gt(v, hi));
  };
  for (; i + 4 * n <= count; i += 4 * n) {  // a branch per four vectors
    auto ends = at_ends(in + i);
    for (int k = 1; k < 4; ++k) ends = hn::And(ends, at_ends(in + i + k * n));
    if (!hn::AllTrue(d, ends)) return false;
  }
  for (; i < count; ++i)
    if (!(in[i] <= first || in[i] > last)) return false;
  return true;
}

void InverseEnds(const double* HWY_RESTRICT in, int count, double first, double last, double zero,
                 double offset, double sigma, double* HWY_RESTRICT out, bool interpolated) {
  const hn::ScalableTag<double> d;
  const int n = static_cast<int>(hn::Lanes(d));
  const auto lo = hn::Set(d, first), hi = hn::Set(d, last), z = hn::Set(d, zero);
  const auto off = hn::Set(d, offset), sg = hn::Set(d, sigma), half = hn::Set(d, 0.5);
  int i = 0;
  for (; i + n <= count; i += n) {
    const auto v = hn::LoadU(d, in + i);
    auto r = interpolated ? hn::LoadU(d, out + i) : z;
    const auto above = hn::Gt(v, hi);
    if (!hn::AllFalse(d, above)) {  // the square root and division only where needed
      const auto w = hn::Sub(v, off);
      const auto ww = hn::Mul(w, w);
      r = hn::IfThenElse(above, hn::Div(hn::Mul(ww, sg), hn::Sqrt(hn::Add(half, ww))), r);
    }
    r = hn::IfThenElse(hn::Le(v, lo), z, r);
    hn::StoreU(r, d, out + i);
  }
  for (; i < count; ++i) {
    const double v = in[i];
    if (v <= first) {
      out[i] = zero;
    } else if (v > last) {
      const double w = v - offset;
      out[i] = (w * w) * sigma / std::sqrt(0.5 + w * w);
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace zarvo::vst
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zarvo::vst {

HWY_EXPORT(EvaluateSegments);
HWY_EXPORT(InverseEnds);
HWY_EXPORT(AllAtEnds);
HWY_EXPORT(WalkBlock);
HWY_EXPORT(FindSegments);
HWY_EXPORT(InterpolateRecords);

void find_segments(const double* x, const KnotFinder& finder, const double* q, int* segment,
                   int count) {
  HWY_DYNAMIC_DISPATCH(FindSegments)(x, finder, q, segment, count);
}

void interpolate_records(const double* x, const KnotFinder& finder, const double* records,
                         const double* q, double* out, int count) {
  HWY_DYNAMIC_DISPATCH(InterpolateRecords)(x, finder, records, q, out, count);
}

int walk_block(const double* x, const KnotFinder& finder, const double* records, const double* q,
               double* out, int* segment, int* hits, int count) {
  return HWY_DYNAMIC_DISPATCH(WalkBlock)(x, finder, records, q, out, segment, hits, count);
}

bool all_at_ends(const double* in, int count, double first, double last) {
  return HWY_DYNAMIC_DISPATCH(AllAtEnds)(in, count, first, last);
}

void inverse_ends(const double* in, int count, double first, double last, double zero,
                  double offset, double sigma, double* out, bool interpolated) {
  HWY_DYNAMIC_DISPATCH(InverseEnds)(in, count, first, last, zero, offset, sigma, out, interpolated);
}

void evaluate_segments(const double* x, const double* y, const double* q, const int* segment,
                       double* out, int count) {
  HWY_DYNAMIC_DISPATCH(EvaluateSegments)(x, y, q, segment, out, count);
}

}  // namespace zarvo::vst
#endif

#include "pipeline.h"

#include <stdexcept>

#include "gateways/plugins.h"
#include "host/standalone/call.h"
#include "noise_level.h"
#include "transforms.h"

namespace zarvo::cli {

namespace sa = zarvo::standalone;

namespace {

sa::Array square(const std::vector<double>& m, int n) {
  return sa::make_array({static_cast<std::size_t>(n), static_cast<std::size_t>(n)}, m);
}

// Element L - 1 holds the Haar matrix of order L for every power of two up
// to `largest`; the others stay empty (the plug-ins never read them).
sa::Array group_cell(int largest) {
  std::vector<sa::Array> cells(static_cast<std::size_t>(largest));
  for (int L = 1; L <= largest; L *= 2) cells[L - 1] = square(haar_matrix(L), L);
  return sa::make_cell(std::move(cells));
}

struct Call {
  std::vector<sa::Array> owned;
  std::vector<const mxArray*> args;
  void add(sa::Array a) {
    args.push_back(a.get());
    owned.push_back(std::move(a));
  }
  void add(const mxArray* a) { args.push_back(a); }
  void add(double v) { add(sa::make_scalar(v)); }
};

std::vector<std::vector<double>> run(sa::EntryPoint entry, const Call& c) {
  sa::CallResult r = sa::call(entry, c.args, 2);
  if (!r.ok) throw std::runtime_error("denoising failed: " + r.message);
  return {sa::values(r.outputs.at(0).get()), sa::values(r.outputs.at(1).get())};
}

}  // namespace

Outcome denoise(const Volume& noisy, const Request& q, const StageHook& hook) {
  const Params& p = q.params;
  Outcome out;
  out.depth = p.depth < noisy.slices ? p.depth : noisy.slices;
  const int nm1 = p.cube, nm3 = out.depth;
  const bool rician = q.noise == Noise::rician;

  std::vector<std::size_t> dims{static_cast<std::size_t>(noisy.rows),
                                static_cast<std::size_t>(noisy.cols)};
  if (noisy.slices > 1) dims.push_back(static_cast<std::size_t>(noisy.slices));
  const sa::Array Bn = sa::make_array(dims, noisy.data);

  // The level the matching limits are set from.
  double level = q.sigma;
  if (q.sigma_map) {
    if (!rician) throw std::invalid_argument("a noise level map needs the Rician noise model");
    std::vector<double> copy = *q.sigma_map;
    level = median(copy);
  } else if (!(q.sigma > 0)) {
    level = require_level(estimate_level(noisy.data.data(), noisy.rows, noisy.cols, noisy.slices, q.noise), "the volume");
    out.estimated = true;
  }
  out.matching_sigma = level;
  // A level to pass as known: given, or estimated for the whole volume.
  const bool per_group = out.estimated && p.estimate(q.noise) == Estimate::group;
  const double known = out.estimated ? (per_group ? 0.0 : level) : q.sigma;

  // What the plug-ins take as the noise level: 0 selects per-group estimation.
  sa::Array noise_arg;
  if (q.sigma_map)
    noise_arg = sa::make_array(dims, *q.sigma_map);
  else
    noise_arg = sa::make_scalar(known);

  const sa::Array T = square(dct_matrix(nm1), nm1);
  const sa::Array T3 = square(dct_matrix(nm3), nm3);
  const sa::Array G1 = group_cell(p.group1);
  const int stages = q.basic_only ? 1 : 2;

  if (hook) hook(0, stages, "hard thresholding");
  Call thr;
  thr.add(Bn.get());
  for (double v : {double(p.step), double(nm1), double(p.group1), double(nm3), p.lambda,
                   tau_match(p.tau1, level, nm1, nm3), double(p.search),
                   double(p.synchronous ? 1 : 0)})
    thr.add(v);
  thr.add(noise_arg.get());
  thr.add(p.alpha);
  thr.add(p.soft ? 0.0 : 1.0);
  for (const mxArray* m : {T.get(), T.get(), T3.get(), T3.get(), G1.get(), G1.get()}) thr.add(m);
  auto basic = run(rician ? zarvo_thr_rice_mex::mexFunction : zarvo_thr_mex::mexFunction, thr);

  std::vector<std::vector<double>> last;
  if (q.basic_only) {
    last = std::move(basic);
  } else {
    if (hook) hook(1, stages, "Wiener");
    const sa::Array Bhat = sa::make_array(dims, basic[0]);
    basic.clear();
    const sa::Array G2 = group_cell(p.group2);
    Call wie;
    wie.add(Bn.get());
    wie.add(Bhat.get());
    for (double v : {double(p.step), double(nm1), double(p.group2), double(nm3),
                     tau_match(p.tau2, level, nm1, nm3), double(p.search),
                     double(p.synchronous ? 1 : 0)})
      wie.add(v);
    wie.add(noise_arg.get());
    for (const mxArray* m : {T.get(), T.get(), T3.get(), T3.get(), G2.get(), G2.get()})
      wie.add(m);
    last = run(rician ? zarvo_wie_rice_mex::mexFunction : zarvo_wie_mex::mexFunction, wie);
  }

  out.estimate = std::move(last[0]);
  if (q.sigma_map)
    out.noise_map = *q.sigma_map;
  else if (per_group)
    out.noise_map = std::move(last[1]);
  else
    out.noise_map.assign(noisy.voxels(), known);
  return out;
}

}  // namespace zarvo::cli

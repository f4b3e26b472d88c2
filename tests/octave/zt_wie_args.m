function args = zt_wie_args(Bn, Bn_hat, sigma, varargin)
  % The 16 arguments of a second-stage plug-in (see zt_thr_args).
  p = zt_params(sigma, varargin{:});
  [T, T3, G] = zt_transforms(p);
  args = {Bn, Bn_hat, p.Nstep, p.nm1, p.nm2, p.nm3, p.tau, p.h, p.sync, sigma, T, T, T3, T3, G, G};
end

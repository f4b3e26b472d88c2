function args = zt_thr_args(Bn, sigma, varargin)
  % The 18 arguments of a first-stage plug-in for volume Bn with orthonormal
  % DCT cube transforms and Haar group transforms. Name/value pairs override
  % the defaults: nm1, nm2, nm3, Nstep, lambda4D, tau, h, sync, alpha, hard.
  p = zt_params(sigma, varargin{:});
  [T, T3, G] = zt_transforms(p);
  args = {Bn, p.Nstep, p.nm1, p.nm2, p.nm3, p.lambda4D, p.tau, p.h, p.sync, sigma, ...
          p.alpha, p.hard, T, T, T3, T3, G, G};
end

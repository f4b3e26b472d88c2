function p = zt_params(sigma, varargin)
  % Test parameters: 4 x 4 x 4 cubes, step 3, half-width 5, groups of 16,
  % threshold 2.7, and a matching limit of a per-voxel distance of 1.5
  % noise variances (sigma is the level for the limit when it is a map).
  s = max(sigma(:));
  if s <= 0
    s = 1;
  end
  p = struct('nm1', 4, 'nm2', 16, 'nm3', 4, 'Nstep', 3, 'lambda4D', 2.7, 'h', 5, ...
             'sync', 0, 'alpha', 1, 'hard', 1, 'tau', []);
  for i = 1:2:numel(varargin)
    p.(varargin{i}) = varargin{i + 1};
  end
  if isempty(p.tau)
    p.tau = 1.5 * s^2 * p.nm1^2 * p.nm3;
  end
end

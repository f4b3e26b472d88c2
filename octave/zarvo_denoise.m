function [X, noise_map, info] = zarvo_denoise(Y, varargin)
  % ZARVO_DENOISE  Denoise a 2-D image, a 3-D volume or a 4-D series.
  %
  %   X = zarvo_denoise(Y)
  %   X = zarvo_denoise(Y, 'noise', 'rician', 'sigma', 12.5)
  %   [X, noise_map, info] = zarvo_denoise(Y, name, value, ...)
  %
  % Block matching and collaborative filtering of cubes in two stages (hard
  % thresholding, then Wiener filtering), for additive Gaussian noise or
  % Rician noise (magnitude MRI). It calls the plug-ins zarvo_thr_mex and
  % zarvo_wie_mex (Gaussian) or zarvo_thr_rice_mex and zarvo_wie_rice_mex
  % (Rician), which must be on the path, with the same defaults, transform
  % matrices and matching limits as the command `zarvo denoise`: for the same
  % input both give the same volume, bit for bit.
  %
  % Y is a real array of 2, 3 or 4 dimensions (rows x columns x slices x
  % volumes) without NaN or Inf. A series is denoised volume by volume.
  %
  % Options (name, value):
  %   'noise'       'gaussian' (default) or 'rician'.
  %   'sigma'       noise standard deviation in Y's own units. Empty (the
  %                 default) estimates it: once for the whole volume, from
  %                 the median absolute deviation of its finest diagonal
  %                 wavelet detail, to set the matching limits, and then
  %                 either group by group inside the plug-ins or as that one
  %                 level (see 'estimate'). For 'rician' it may
  %                 also be a map of levels of Y's spatial size (or of Y's
  %                 full size for a series).
  %   'profile'     parameter profile, 'default' or 'fast' (the table in
  %                 zarvo_profiles.txt beside this file, which the command
  %                 embeds).
  %   'basic_only'  true: stop after the first stage (default false).
  % Expert options, overriding the profile:
  %   'cube'        cube side in rows and columns
  %   'depth'       cube depth in slices (limited to the number of slices)
  %   'step'        step between reference cubes
  %   'search'      half-width of the matching window
  %   'group1', 'group2'  largest group of the first and second stage
  %   'lambda'      hard threshold in noise standard deviations
  %   'tau1', 'tau2'  matching limits: mean squared difference per voxel,
  %                 in noise variances (first stage, second stage)
  %   'alpha'       alpha-rooting exponent (1: none)
  %   'soft'        true: soft thresholding
  %   'synchronous' true: match only within the reference cube's slices
  %   'estimate'    how an unknown level is estimated: 'group' (each group's
  %                 own estimate, in the plug-ins) or 'volume' (one estimate
  %                 for the whole volume, passed on as a known level); the
  %                 profile says which for each noise model
  %
  % Outputs:
  %   X          the estimate, Y's size, double.
  %   noise_map  the noise standard deviation the last stage used at every
  %              voxel: the given level or map, or with estimation the mean
  %              of the group estimates that reached the voxel (not a
  %              residual).
  %   info       struct: the parameters used and, per volume, the level the
  %              matching limits were set from (info.matching_sigma).
  %
  % See also: zarvo_thr_mex, zarvo_wie_mex, zarvo_thr_rice_mex, zarvo_wie_rice_mex.

  if nargin < 1
    print_usage();
  end
  if ~isnumeric(Y) || ~isreal(Y) || isempty(Y)
    error('zarvo:input', 'zarvo_denoise: Y must be a non-empty real numeric array');
  end
  if ndims(Y) > 4
    error('zarvo:input', 'zarvo_denoise: Y has %d dimensions; 2-D, 3-D and 4-D arrays are supported', ndims(Y));
  end
  Y = double(Y);
  if ~all(isfinite(Y(:)))
    error('zarvo:input', 'zarvo_denoise: Y holds %d NaN or infinite values', sum(~isfinite(Y(:))));
  end

  opt = struct('noise', 'gaussian', 'sigma', [], 'profile', 'default', 'basic_only', false);
  expert = {'cube', 'depth', 'step', 'search', 'group1', 'group2', 'lambda', 'tau1', ...
            'tau2', 'alpha', 'soft', 'synchronous', 'estimate'};
  overrides = struct();
  if mod(numel(varargin), 2) ~= 0
    error('zarvo:args', 'zarvo_denoise: options come in name, value pairs');
  end
  for i = 1:2:numel(varargin)
    name = varargin{i};
    if ~ischar(name)
      error('zarvo:args', 'zarvo_denoise: option names must be strings');
    end
    name = lower(name);
    if isfield(opt, name)
      opt.(name) = varargin{i + 1};
    elseif any(strcmp(name, expert))
      overrides.(name) = varargin{i + 1};
    else
      error('zarvo:args', 'zarvo_denoise: unknown option ''%s''', name);
    end
  end

  rician = strcmp(opt.noise, 'rician');
  if ~rician && ~strcmp(opt.noise, 'gaussian')
    error('zarvo:args', 'zarvo_denoise: noise must be ''gaussian'' or ''rician''');
  end
  p = zarvo_profile(opt.profile);
  if isfield(overrides, 'estimate')
    if ~any(strcmp(overrides.estimate, {'group', 'volume'}))
      error('zarvo:args', 'zarvo_denoise: estimate must be ''group'' or ''volume''');
    end
    p.gauss = overrides.estimate;
    p.rice = overrides.estimate;
    overrides = rmfield(overrides, 'estimate');
  end
  names = fieldnames(overrides);
  for i = 1:numel(names)
    v = overrides.(names{i});
    if ~isscalar(v) || ~(isnumeric(v) || islogical(v)) || ~isfinite(v)
      error('zarvo:args', 'zarvo_denoise: option ''%s'' must be a finite scalar', names{i});
    end
    p.(names{i}) = double(v);
  end
  check_params(p);

  [rows, cols, slices, volumes] = size(Y);
  spatial = rows * cols * slices;
  sigma = opt.sigma;
  map = [];
  if ~isempty(sigma)
    if ~isnumeric(sigma) || ~isreal(sigma) || any(~isfinite(sigma(:)))
      error('zarvo:sigma', 'zarvo_denoise: sigma must be real and finite');
    end
    sigma = double(sigma);
    if isscalar(sigma)
      if ~(sigma > 0)
        error('zarvo:sigma', 'zarvo_denoise: sigma must be > 0 (leave it empty to estimate it)');
      end
    else
      if ~rician
        error('zarvo:sigma', 'zarvo_denoise: a map of noise levels needs noise ''rician''');
      end
      if numel(sigma) ~= spatial && numel(sigma) ~= numel(Y)
        error('zarvo:sigma', 'zarvo_denoise: the noise level map must have the size of Y (or of one volume of Y)');
      end
      if any(sigma(:) < 0)
        error('zarvo:sigma', 'zarvo_denoise: the noise level map holds negative levels');
      end
      map = reshape(sigma, rows, cols, slices, []);
      sigma = [];
    end
  end

  depth = min(p.depth, slices);
  T = zarvo_dct(p.cube);
  T3 = zarvo_dct(depth);
  G1 = group_cell(p.group1);
  G2 = group_cell(p.group2);
  sync = double(p.synchronous ~= 0);
  if rician
    per_group = strcmp(p.rice, 'group');
  else
    per_group = strcmp(p.gauss, 'group');
  end
  hard = double(p.soft == 0);

  X = zeros(size(Y));
  noise_map = zeros(size(Y));
  info = struct('params', p, 'depth', depth, 'matching_sigma', zeros(1, volumes), ...
                'estimated', isempty(sigma) && isempty(map));
  for t = 1:volumes
    V = Y(:, :, :, t);
    if ~isempty(map)
      levels = map(:, :, :, min(t, size(map, 4)));
      level = median(levels(:));
      noise_arg = levels;
    elseif ~isempty(sigma)
      level = sigma;
      noise_arg = sigma;
    else
      level = zarvo_noise_level(V, rician);
      if per_group
        noise_arg = 0;
      else
        noise_arg = level;
      end
    end
    info.matching_sigma(t) = level;
    tau1 = matching_limit(p.tau1, level, p.cube, depth);
    tau2 = matching_limit(p.tau2, level, p.cube, depth);

    if rician
      [B, s] = zarvo_thr_rice_mex(V, p.step, p.cube, p.group1, depth, p.lambda, tau1, ...
                                  p.search, sync, noise_arg, p.alpha, hard, T, T, T3, T3, G1, G1);
    else
      [B, s] = zarvo_thr_mex(V, p.step, p.cube, p.group1, depth, p.lambda, tau1, ...
                             p.search, sync, noise_arg, p.alpha, hard, T, T, T3, T3, G1, G1);
    end
    if ~opt.basic_only
      if rician
        [B, s] = zarvo_wie_rice_mex(V, B, p.step, p.cube, p.group2, depth, tau2, p.search, ...
                                    sync, noise_arg, T, T, T3, T3, G2, G2);
      else
        [B, s] = zarvo_wie_mex(V, B, p.step, p.cube, p.group2, depth, tau2, p.search, ...
                               sync, noise_arg, T, T, T3, T3, G2, G2);
      end
    end
    X(:, :, :, t) = B;
    if ~isempty(map)
      noise_map(:, :, :, t) = levels;
    elseif ~isempty(sigma)
      noise_map(:, :, :, t) = sigma;
    elseif per_group
      noise_map(:, :, :, t) = s;
    else
      noise_map(:, :, :, t) = level;
    end
  end
end

function p = zarvo_profile(name)
  % The profile table shared with the command.
  file = fullfile(fileparts(mfilename('fullpath')), '..', 'share', 'zarvo', 'profiles.txt');
  f = fopen(file, 'r');
  if f < 0
    error('zarvo:profile', 'zarvo_denoise: cannot read the profile table %s', file);
  end
  cleaner = onCleanup(@() fclose(f));
  keys = {'cube', 'depth', 'step', 'search', 'group1', 'group2', 'lambda', 'tau1', 'tau2', ...
          'alpha', 'soft', 'gauss', 'rice'};
  known = {};
  while true
    line = fgetl(f);
    if ~ischar(line)
      break;
    end
    hash = find(line == '#', 1);
    if ~isempty(hash)
      line = line(1:hash - 1);
    end
    fields = strsplit(strtrim(line));
    if isempty(fields) || isempty(fields{1})
      continue;
    end
    if numel(fields) ~= numel(keys) + 1
      error('zarvo:profile', 'zarvo_denoise: malformed line in %s: %s', file, line);
    end
    known{end + 1} = fields{1};
    if strcmp(fields{1}, name)
      p = struct();
      for k = 1:numel(keys) - 2
        p.(keys{k}) = str2double(fields{k + 1});
      end
      p.gauss = fields{end - 1};
      p.rice = fields{end};
      p.synchronous = 0;
      return;
    end
  end
  error('zarvo:profile', 'zarvo_denoise: unknown profile ''%s'' (known: %s)', name, strjoin(known, ', '));
end

function check_params(p)
  ints = {'cube', 'depth', 'step', 'group1', 'group2'};
  for i = 1:numel(ints)
    v = p.(ints{i});
    if v < 1 || v ~= fix(v)
      error('zarvo:args', 'zarvo_denoise: %s must be a whole number >= 1', ints{i});
    end
  end
  if p.search < 0 || p.search ~= fix(p.search)
    error('zarvo:args', 'zarvo_denoise: search must be a whole number >= 0');
  end
  if p.group1 > 1024 || p.group2 > 1024 || p.cube > 64 || p.depth > 64
    error('zarvo:args', 'zarvo_denoise: groups above 1024 or cubes above 64 are not supported');
  end
  if p.lambda < 0 || p.tau1 < 0 || p.tau2 < 0 || ~(p.alpha > 0)
    error('zarvo:args', 'zarvo_denoise: lambda, tau1 and tau2 must be >= 0 and alpha > 0');
  end
end

function tau = matching_limit(per_voxel, sigma, cube, depth)
  % The raw sum-of-squared-differences limit, as the command computes it.
  tau = per_voxel * (sigma * sigma) * (cube * cube * depth);
end

function T = zarvo_dct(n)
  % Orthonormal DCT-II, term by term as the command builds it.
  T = zeros(n);
  scale = sqrt(2 / n);
  for i = 0:n - 1
    for k = 0:n - 1
      v = scale * cos(pi * (2 * i + 1) * k / (2 * n));
      if k == 0
        v = v / sqrt(2);
      end
      T(k + 1, i + 1) = v;
    end
  end
end

function H = zarvo_haar(n)
  % Orthonormal Haar matrix of order n (a power of two).
  H = 1;
  while size(H, 1) < n
    m = size(H, 1);
    top = kron(H, [1 1]) / sqrt(2);
    bottom = kron(eye(m), [1 -1]);
    bottom(bottom == 1) = 1 / sqrt(2);
    bottom(bottom == -1) = -1 / sqrt(2);
    H = [top; bottom];
  end
end

function G = group_cell(largest)
  % Element L holds the Haar matrix for groups of L cubes, L a power of two.
  G = cell(1, largest);
  L = 1;
  while L <= largest
    G{L} = zarvo_haar(L);
    L = 2 * L;
  end
end

function s = zarvo_noise_level(V, rician)
  % Median absolute deviation of the finest diagonal wavelet detail over
  % non-overlapping 2x2x2 blocks (2x2 for one slice); for Rician data a
  % second pass over the blocks brighter than three times the first
  % estimate, when there are at least 1000. Same order of operations as the
  % command.
  [r, c, z] = size(V);
  if r < 2 || c < 2
    s = 0;
    return;
  end
  r2 = 2 * floor(r / 2);
  c2 = 2 * floor(c / 2);
  if z >= 2
    z2 = 2 * floor(z / 2);
    a000 = V(1:2:r2, 1:2:c2, 1:2:z2);  a100 = V(2:2:r2, 1:2:c2, 1:2:z2);
    a010 = V(1:2:r2, 2:2:c2, 1:2:z2);  a110 = V(2:2:r2, 2:2:c2, 1:2:z2);
    a001 = V(1:2:r2, 1:2:c2, 2:2:z2);  a101 = V(2:2:r2, 1:2:c2, 2:2:z2);
    a011 = V(1:2:r2, 2:2:c2, 2:2:z2);  a111 = V(2:2:r2, 2:2:c2, 2:2:z2);
    d = (a000 - a100 - a010 + a110 - a001 + a101 + a011 - a111) / sqrt(8);
    m = (a000 + a100 + a010 + a110 + a001 + a101 + a011 + a111) / 8;
  else
    a00 = V(1:2:r2, 1:2:c2);  a10 = V(2:2:r2, 1:2:c2);
    a01 = V(1:2:r2, 2:2:c2);  a11 = V(2:2:r2, 2:2:c2);
    d = (a00 - a10 - a01 + a11) / 2;
    m = (a00 + a10 + a01 + a11) / 4;
  end
  s = median(abs(d(:))) / 0.6744897501960817;
  if rician
    bright = abs(d(m > 3 * s));
    if numel(bright) >= 1000
      s = median(bright) / 0.6744897501960817;
    end
  end
end

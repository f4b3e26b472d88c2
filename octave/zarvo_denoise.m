function [X, noise_map, info] = zarvo_denoise(Y, varargin)
  % ZARVO_DENOISE  Denoise a 2-D image, a 3-D volume or a 4-D series.
  %
  %   X = zarvo_denoise(Y)
  %   X = zarvo_denoise(Y, 'noise', 'rician', 'sigma', 12.5)
  %   [X, noise_map, info] = zarvo_denoise(Y, name, value, ...)
  %
  % Block matching and collaborative filtering of cubes in two stages (hard
  % thresholding, then Wiener filtering), for additive Gaussian noise or
  % Rician noise (magnitude MRI). It runs the same engine as the command
  % `zarvo denoise`, through the MEX file zarvo_denoise_mex (which must be on
  % the path), with the same defaults: for the same input both give the same
  % volume, bit for bit. zarvo_stages_example.m beside this file shows the
  % same two stages chained by hand through the four stage plug-ins.
  %
  % Y is a real array of 2, 3 or 4 dimensions (rows x columns x slices x
  % volumes) without NaN or Inf, of any numeric class (single and double are
  % read in place). A series is denoised volume by volume.
  %
  % Options (name, value):
  %   'noise'       'gaussian' (default) or 'rician'.
  %   'sigma'       noise standard deviation in Y's own units. Empty (the
  %                 default) estimates it: once for the whole volume, from
  %                 the median absolute deviation of its finest diagonal
  %                 wavelet detail, to set the matching limits, and then
  %                 either group by group inside the stages or as that one
  %                 level (see 'estimate'). For a series it may be one level
  %                 per volume. For 'rician' it may also be a map of levels of
  %                 Y's spatial size (or of Y's full size for a series).
  %   'sigma_scope' for a 4-D series whose level is estimated: 'series'
  %                 (default: one level from all its volumes together) or
  %                 'volume' (one per volume).
  %   'mask'        an array of Y's spatial size, nonzero inside: the level
  %                 is estimated inside it, only cubes touching it are
  %                 filtered, and every voxel outside keeps Y's value.
  %   'profile'     parameter profile, 'default' or 'fast' (`zarvo profiles`
  %                 prints the table).
  %   'basic_only'  true: stop after the first stage (default false).
  %   'threads'     threads of the walk; 0 (default): every core. The result
  %                 does not depend on it.
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
  %   info       struct: the parameters used (info.params) and, per volume,
  %              the level the matching limits were set from (info.sigma),
  %              where it came from (info.sigma_source: 'given', 'estimated'
  %              or 'map') and whether the stages estimated a level for every
  %              group (info.per_group).
  %
  % See also: zarvo_stages_example, zarvo_thr_mex, zarvo_wie_mex,
  % zarvo_thr_rice_mex, zarvo_wie_rice_mex.

  if nargin < 1
    print_usage();
  end
  if ~isnumeric(Y) || ~isreal(Y) || issparse(Y)
    error('zarvo:input', 'zarvo_denoise: Y must be a real, full numeric array');
  end
  if ~isa(Y, 'double') && ~isa(Y, 'single')
    Y = double(Y);
  end
  if mod(numel(varargin), 2) ~= 0
    error('zarvo:args', 'zarvo_denoise: options come in name, value pairs');
  end
  flags = {'basic_only', 'soft', 'synchronous'};
  texts = {'noise', 'profile', 'estimate', 'sigma_scope'};
  arrays = {'sigma', 'mask'};
  numbers = {'threads', 'cube', 'depth', 'step', 'search', 'group1', 'group2', ...
             'lambda', 'tau1', 'tau2', 'alpha'};
  opts = struct();
  for i = 1:2:numel(varargin)
    name = varargin{i};
    value = varargin{i + 1};
    if ~ischar(name)
      error('zarvo:args', 'zarvo_denoise: option names must be strings');
    end
    name = lower(name);
    if any(strcmp(name, flags))
      % Only a logical or numeric scalar is a flag: the string 'false' or an
      % empty array would otherwise count as true.
      if ~(islogical(value) || isnumeric(value)) || ~isscalar(value) || issparse(value) || ...
         ~isreal(value) || ~(value == 0 || value == 1)
        error('zarvo:args', 'zarvo_denoise: %s must be true or false (a logical or 0/1 scalar)', name);
      end
      value = double(value);
    elseif any(strcmp(name, texts))
      if ~ischar(value)
        error('zarvo:args', 'zarvo_denoise: %s must be a string', name);
      end
    elseif any(strcmp(name, numbers)) || any(strcmp(name, arrays))
      if ~(isnumeric(value) || islogical(value)) || ~isreal(value) || issparse(value)
        error('zarvo:args', 'zarvo_denoise: %s must be a real, full numeric array', name);
      end
      if any(strcmp(name, numbers)) && ~isscalar(value)
        error('zarvo:args', 'zarvo_denoise: %s must be a scalar', name);
      end
      value = double(value);
    else
      error('zarvo:args', 'zarvo_denoise: unknown option ''%s''', name);
    end
    opts.(name) = value;
  end
  % One call of the engine; the outputs not asked for are not made.
  outputs = cell(1, max(nargout, 1));
  [outputs{:}] = zarvo_denoise_mex(Y, opts);
  X = outputs{1};
  if nargout > 1
    noise_map = outputs{2};
  end
  if nargout > 2
    info = outputs{3};
  end
end

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
  % Options (name, value): the engine's options, declared once in the
  % engine with their checks and defaults, the same as the command's and
  % Python's. zarvo_denoise('options') prints each with its meaning and
  % default; the most used:
  %   'noise'       'gaussian' or 'rician'.
  %   'sigma'       noise standard deviation in Y's own units: one level,
  %                 or one per volume of a series; empty or absent: it is
  %                 estimated (see 'sigma_scope' and 'estimate').
  %   'sigma_map'   a map of levels of Y's spatial size (or of Y's full size
  %                 for a series); 'sigma' also takes one. 'rician' only,
  %                 or either model with 'series', 'joint'; 'sigma_scope',
  %                 'voxel' estimates one from a series.
  %   'mask'        an array of Y's spatial size, nonzero inside: the level
  %                 is estimated inside it, only cubes touching it are
  %                 filtered, and every voxel outside keeps Y's value.
  %   'profile'     parameter profile (`zarvo profiles` prints the table).
  %   'threads'     threads of the walk (0: every core); the result does not
  %                 depend on it.
  % Expert options ('cube', 'search', 'soft', ...) override the profile;
  % flags take true or false, so that 'soft', false undoes a profile's value.
  %
  % Outputs:
  %   X          the estimate, Y's size, double.
  %   noise_map  the noise standard deviation the last stage used at every
  %              voxel: the given level or map, or with estimation the mean
  %              of the group estimates that reached the voxel (not a
  %              residual).
  %   info       struct: the parameters used (info.params) and, per volume,
  %              the level the matching limits were set from (info.sigma),
  %              where it came from (info.sigma_source: 'given', 'estimated',
  %              'map' or 'estimated map') and whether the stages estimated a level for every
  %              group (info.per_group); what the run found worth telling
  %              (info.notes, a cell of strings, also given as warnings
  %              'zarvo:note'), such as a time series whose weak slow
  %              signals the joint series mode may attenuate.
  %
  % See also: zarvo_stages_example, zarvo_thr_mex, zarvo_wie_mex,
  % zarvo_thr_rice_mex, zarvo_wie_rice_mex.

  if nargin < 1
    print_usage();
  end
  if ischar(Y) && strcmp(Y, 'options') && nargin == 1
    print_options(zarvo_denoise_mex('options'));
    return;
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
  % The names go to the engine as they are; the gateway checks every value
  % against the engine's declaration.
  opts = struct();
  for i = 1:2:numel(varargin)
    name = varargin{i};
    if ~ischar(name) || isempty(name)
      error('zarvo:args', 'zarvo_denoise: option names must be strings');
    end
    if ~isvarname(lower(name))
      error('zarvo:args', 'zarvo_denoise: unknown option "%s"', name);
    end
    opts.(lower(name)) = varargin{i + 1};
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

function print_options(decls)
  % One paragraph per option: its name, meaning, values and default.
  for i = 1:numel(decls)
    d = decls(i);
    if strcmp(d.kind, 'output')
      continue;
    end
    values = '';
    if ~isempty(d.choices)
      values = sprintf(' (%s)', strjoin(d.choices, ', '));
    elseif any(strcmp(d.kind, {'whole', 'real'}))
      values = sprintf(' (%g to %g)', d.min, d.max);
    end
    printf('  ''%s''%s\n      %s [default: %s]\n', d.name, values, d.help, d.default);
  end
end

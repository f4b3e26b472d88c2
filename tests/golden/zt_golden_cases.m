function cases = zt_golden_cases(folder)
  % The reference cases: each of the four plug-ins with a given level and in
  % adaptive mode, and the default two-stage pipeline for both noise models,
  % on the stored noisy phantoms of `folder`. Each case is a name and a
  % function returning the outputs to compare, in order.
  dims = [20 16 10];
  gauss = read_f64(fullfile(folder, 'input_gaussian.f64'), dims);
  rice = read_f64(fullfile(folder, 'input_rician.f64'), dims);
  % The second stages take the stored basic estimates of the first.
  basic = @(name) first_volume(read_f64(fullfile(folder, [name '.f64']), [dims 2]));
  sigma = 0.06;
  thr = @(Y, s, varargin) zt_thr_args(Y, s, 'nm2', 8, 'h', 4, 'tau', 1.5 * sigma^2 * 64, varargin{:});
  wie = @(Y, B, s) zt_wie_args(Y, B, s, 'nm2', 16, 'h', 4, 'tau', 0.8 * sigma^2 * 64);
  cases = {
    'thr_given',         @() call(@zarvo_thr_mex, thr(gauss, sigma));
    'thr_adaptive',      @() call(@zarvo_thr_mex, thr(gauss, 0, 'hard', 0, 'alpha', 1.3));
    'wie_given',         @() call(@zarvo_wie_mex, wie(gauss, basic('thr_given'), sigma));
    'wie_adaptive',      @() call(@zarvo_wie_mex, wie(gauss, basic('thr_given'), 0));
    'thr_rice_given',    @() call(@zarvo_thr_rice_mex, thr(rice, sigma));
    'thr_rice_adaptive', @() call(@zarvo_thr_rice_mex, thr(rice, 0));
    'wie_rice_given',    @() call(@zarvo_wie_rice_mex, wie(rice, basic('thr_rice_given'), sigma * (0.9 + 0.2 * (rice > 0.3))));
    'wie_rice_adaptive', @() call(@zarvo_wie_rice_mex, wie(rice, basic('thr_rice_given'), 0));
    'pipeline_gaussian', @() pipeline(gauss);
    'pipeline_rician',   @() pipeline(rice, 'noise', 'rician');
  };
end

function V = first_volume(Y)
  V = Y(:, :, :, 1);
end

function out = call(plugin, args)
  [a, b] = plugin(args{:});
  out = cat(4, a, b);
end

function out = pipeline(Y, varargin)
  [X, noise_map] = zarvo_denoise(Y, varargin{:});
  out = cat(4, X, noise_map);
end

function Y = read_f64(file, dims)
  f = fopen(file, 'r', 'ieee-le');
  assert(f >= 0, ['cannot open ' file]);
  Y = reshape(fread(f, Inf, 'double'), dims);
  fclose(f);
end

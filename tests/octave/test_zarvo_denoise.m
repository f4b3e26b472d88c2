function test_zarvo_denoise()
  % The Octave function and the command give identical volumes for the same
  % input: both noise models, given and estimated levels, a Rician level
  % map, both profiles, the first stage alone, a 2-D image and a 4-D series;
  % the example script that chains the stage plug-ins by hand agrees; bad
  % options and inputs are refused with a message.
  build = getenv('ZARVO_BUILD_DIR');
  assert(~isempty(build), 'ZARVO_BUILD_DIR is not set');
  zarvo = fullfile(build, 'cli', 'zarvo');
  assert(exist(zarvo, 'file') == 2, 'the zarvo command is not built');
  dir = tempname();
  mkdir(dir);
  cleaner = onCleanup(@() remove_folder(dir));

  [i, j, k] = ndgrid(1:28, 1:24, 1:14);
  clean = 100 + 60 * (((i - 14) / 10).^2 + ((j - 12) / 9).^2 + ((k - 7) / 6).^2 < 1) ...
          + 20 * sin(i / 4) .* cos(j / 5);
  randn('seed', 5);
  sigma = 8;
  gauss = clean + sigma * randn(size(clean));
  rice = sqrt((clean + sigma * randn(size(clean))).^2 + (sigma * randn(size(clean))).^2);

  cases = {
    'gaussian, given level',        gauss, {'sigma', sigma},                      {'--sigma', '8'};
    'gaussian, estimated level',    gauss, {},                                    {};
    'rician, estimated, fast',      rice,  {'noise', 'rician', 'profile', 'fast'}, {'--noise', 'rician', '--profile', 'fast'};
    'rician, given level',          rice,  {'noise', 'rician', 'sigma', sigma},   {'--noise', 'rician', '--sigma', '8'};
    'rician, per-group estimates',  rice,  {'noise', 'rician', 'estimate', 'group'}, {'--noise', 'rician', '--estimate', 'group'};
    'gaussian, volume estimate',    gauss, {'estimate', 'volume'},                {'--estimate', 'volume'};
    'expert overrides, soft',       gauss, {'cube', 3, 'depth', 2, 'step', 2, 'soft', true, 'tau1', 5}, ...
                                           {'--cube', '3', '--depth', '2', '--step', '2', '--soft', '--tau1', '5'};
    'first stage only',             gauss, {'basic_only', true},                  {'--basic-only'};
    'flags both ways, series mode', gauss, {'soft', false, 'synchronous', true, 'series', 'volumes'}, ...
                                           {'--no-soft', '--synchronous', '--series', 'volumes'};
    '2-D image',                    gauss(:, :, 7), {},                           {};
    '4-D series',                   cat(4, gauss, rice), {},                      {};
  };
  for c = 1:size(cases, 1)
    [name, Y, fopts, copts] = cases{c, :};
    in = fullfile(dir, sprintf('in%d.nii', c));
    out = fullfile(dir, sprintf('out%d.nii', c));
    nmap = fullfile(dir, sprintf('map%d.nii', c));
    write_nifti(in, Y);
    cmd = sprintf('"%s" denoise "%s" "%s" --quiet --datatype float64 --noise-map "%s" %s', ...
                  zarvo, in, out, nmap, strjoin(copts, ' '));
    [status, text] = system(cmd);
    assert(status == 0, sprintf('%s: the command failed: %s', name, text));
    [X, noise_map] = zarvo_denoise(Y, fopts{:});
    Xc = read_nifti(out);
    assert(isequal(size(Xc), size(X)), sprintf('%s: shapes differ', name));
    assert(isequal(Xc, X), sprintf('%s: results differ by up to %g', name, max(abs(Xc(:) - X(:)))));
    % The noise map file is float32; compare at that precision. A series'
    % file is one volume: the volumes' map when they share it, else the
    % root mean square over the volumes.
    if ndims(noise_map) == 4
      shared = all(all(all(all(noise_map == noise_map(:, :, :, 1)))));
      if shared
        noise_map = noise_map(:, :, :, 1);
      else
        noise_map = sqrt(mean(noise_map .^ 2, 4));
      end
      assert(ndims(read_nifti(nmap)) == 3, sprintf('%s: a series'' noise map is 3-D', name));
      assert(max(abs(read_nifti(nmap)(:) - noise_map(:))) <= 1e-6 * max(noise_map(:)), ...
             sprintf('%s: noise maps differ', name));
    else
      assert(isequal(read_nifti(nmap), double(single(noise_map))), sprintf('%s: noise maps differ', name));
    end
    printf('%s: identical\n', name);
  end

  % A Rician level map of the volume's shape.
  levels = sigma * (0.8 + 0.4 * (i / 28));
  write_nifti(fullfile(dir, 'levels.nii'), levels);
  write_nifti(fullfile(dir, 'rice.nii'), rice);
  [status, text] = system(sprintf('"%s" denoise "%s" "%s" --quiet --datatype float64 --noise rician --sigma-map "%s"', ...
                                  zarvo, fullfile(dir, 'rice.nii'), fullfile(dir, 'rice_out.nii'), ...
                                  fullfile(dir, 'levels.nii')));
  assert(status == 0, text);
  X = zarvo_denoise(rice, 'noise', 'rician', 'sigma_map', levels);
  assert(isequal(read_nifti(fullfile(dir, 'rice_out.nii')), X), 'rician with a level map: results differ');
  assert(isequal(zarvo_denoise(rice, 'noise', 'rician', 'sigma', levels), X), ...
         'a map given as sigma is the same map');

  % A mask: the same bits from both, the outside kept; a series level pooled
  % or per volume, the same in both.
  mask = double(clean > 130);
  write_nifti(fullfile(dir, 'mask.nii'), mask);
  write_nifti(fullfile(dir, 'gauss.nii'), gauss);
  [status, text] = system(sprintf('"%s" denoise "%s" "%s" --quiet --datatype float64 --mask "%s"', ...
                                  zarvo, fullfile(dir, 'gauss.nii'), fullfile(dir, 'masked.nii'), ...
                                  fullfile(dir, 'mask.nii')));
  assert(status == 0, text);
  X = zarvo_denoise(gauss, 'mask', mask > 0);
  assert(isequal(read_nifti(fullfile(dir, 'masked.nii')), X), 'with a mask: results differ');
  assert(isequal(X(mask == 0), gauss(mask == 0)), 'the outside of the mask is kept');
  assert(~isequal(X(mask > 0), gauss(mask > 0)), 'the inside of the mask is filtered');
  write_nifti(fullfile(dir, 'series.nii'), cat(4, gauss, 2 * gauss));
  [status, text] = system(sprintf('"%s" denoise "%s" "%s" --quiet --datatype float64 --sigma-scope volume', ...
                                  zarvo, fullfile(dir, 'series.nii'), fullfile(dir, 'series_out.nii')));
  assert(status == 0, text);
  [X, ~, info] = zarvo_denoise(cat(4, gauss, 2 * gauss), 'sigma_scope', 'volume');
  assert(isequal(read_nifti(fullfile(dir, 'series_out.nii')), X), 'levels per volume: results differ');
  assert(abs(info.sigma(2) / info.sigma(1) - 2) < 1e-9, 'a level per volume follows each volume');
  [~, ~, info] = zarvo_denoise(cat(4, gauss, 2 * gauss));
  assert(info.sigma(1) == info.sigma(2), 'one level pooled over the series by default');
  % A level map estimated from the series, taken jointly (Gaussian noise).
  series = cat(4, gauss, gauss + sigma * randn(size(gauss)), gauss + sigma * randn(size(gauss)));
  [X, noise_map, info] = zarvo_denoise(series, 'series', 'joint', 'sigma_scope', 'voxel');
  assert(isequal(size(X), size(series)) && isequal(size(noise_map), size(series)));
  assert(strcmp(info.sigma_source{3}, 'estimated map'), info.sigma_source{3});
  assert(isequal(noise_map(:, :, :, 1), noise_map(:, :, :, 3)), 'one map for every volume');
  assert(numel(unique(noise_map(:))) > 1, 'a level per voxel');
  assert(isempty(info.notes), 'no note where the volumes do not vary slowly');
  % A time series (a drift growing along the rows): told, in info and as a
  % warning, that the joint mode may attenuate its weak slow signals.
  ramp = repmat(linspace(0, 1, size(clean, 1))', [1, size(clean, 2), size(clean, 3)]);
  timed = zeros([size(clean), 10]);
  for t = 1:10
    timed(:, :, :, t) = clean * (1 - 0.05 * t) + 40 * ramp * t / 10 + sigma * randn(size(clean));
  end
  lastwarn('');
  [~, ~, info] = zarvo_denoise(timed, 'series', 'joint', 'sigma', sigma);
  [text, id] = lastwarn();
  assert(numel(info.notes) == 1 && ~isempty(strfind(info.notes{1}, 'series mode ''volumes''')), ...
         'a time series is told so');
  assert(strcmp(id, 'zarvo:note') && ~isempty(strfind(text, info.notes{1})), text);

  % Denoising does help on this volume (a guard against comparing two
  % equally broken results).
  X = zarvo_denoise(gauss, 'sigma', sigma);
  before = sqrt(mean((gauss(:) - clean(:)).^2));
  after = sqrt(mean((X(:) - clean(:)).^2));
  printf('rms error %.2f before, %.2f after\n', before, after);
  assert(after < 0.6 * before, 'the estimate is closer to the clean volume than the noisy one');

  % The stages chained by hand in the example script give the same bits.
  assert(isequal(zarvo_stages_example(gauss, sigma), zarvo_denoise(gauss, 'sigma', sigma)), ...
         'the example script and the function differ (Gaussian)');
  % With one level for every group the pipeline stabilises each volume once
  % instead of every group's cubes again: the same transform, but an
  % interpolation may take another path at a knot, so the last bit of a few
  % voxels may differ from the plug-ins chained by hand.
  E = zarvo_stages_example(rice, sigma, 'rician');
  X = zarvo_denoise(rice, 'sigma', sigma, 'noise', 'rician');
  assert(max(abs(E(:) - X(:)) ./ max(abs(E(:)), eps)) < 1e-12, ...
         'the example script and the function differ (Rician)');
  % One level per volume of a series, and single precision read in place.
  series = cat(4, gauss, gauss(end:-1:1, :, :));
  [X, ~, info] = zarvo_denoise(series, 'sigma', [sigma, 2 * sigma]);
  assert(isequal(info.sigma, [sigma, 2 * sigma]) && isequal(info.sigma_source, {'given', 'given'}));
  assert(isequal(X(:, :, :, 2), zarvo_denoise(gauss(end:-1:1, :, :), 'sigma', 2 * sigma)));
  assert(isequal(zarvo_denoise(single(gauss), 'sigma', sigma), zarvo_denoise(double(single(gauss)), 'sigma', sigma)));
  assert(isequal(zarvo_denoise(gauss, 'sigma', sigma, 'threads', 1), zarvo_denoise(gauss, 'sigma', sigma, 'threads', 3)));

  zt_expect_error(@() zarvo_denoise(gauss, 'sigma', -1), 'zarvo:args', '> 0');
  zt_expect_error(@() zarvo_denoise(gauss, 'sigma', levels), 'zarvo:args', 'Rician');
  zt_expect_error(@() zarvo_denoise(gauss, 'profile', 'nope'), 'zarvo:args', 'default');
  zt_expect_error(@() zarvo_denoise(gauss, 'cube', 2.5), 'zarvo:args', 'whole number');
  zt_expect_error(@() zarvo_denoise(gauss, 'basic_only', 'false'), 'zarvo:args', 'true or false');
  zt_expect_error(@() zarvo_denoise(gauss, 'soft', []), 'zarvo:args', 'true or false');
  zt_expect_error(@() zarvo_denoise(sparse(gauss(:, :, 1))), 'zarvo:input', 'full');
  zt_expect_error(@() zarvo_denoise(gauss, 'sigma', sparse(1)), 'zarvo:args', 'full');
  zt_expect_error(@() zarvo_denoise(ones(2, 2, 2, 2, 2)), 'zarvo:input', '5 dimensions');
  check_options_struct(gauss, sigma);
  bad = gauss;
  bad(3) = NaN;
  zt_expect_error(@() zarvo_denoise(bad), 'zarvo:input', 'NaN');
end

function check_options_struct(Y, sigma)
  % The gateway checks every field of its options struct before use, against
  % the engine's declaration (the same bounds as the command and Python).
  zt_expect_error(@() zarvo_denoise_mex(Y, struct('sigma', {})), 'zarvo:args', '1x1 struct');
  zt_expect_error(@() zarvo_denoise_mex(Y, struct('sigma', {1, 2})), 'zarvo:args', '1x1 struct');
  zt_expect_error(@() zarvo_denoise_mex(Y, 3), 'zarvo:args', '1x1 struct');
  zt_expect_error(@() zarvo_denoise_mex(Y, struct('radius', 3)), 'zarvo:args', 'unknown option');
  zt_expect_error(@() zarvo_denoise_mex(Y, struct('noise_map', 1)), 'zarvo:args', 'unknown option');
  zt_expect_error(@() zarvo_denoise(Y, 'noise', 3), 'zarvo:args', 'noise must be a string');
  zt_expect_error(@() zarvo_denoise(Y, 'cube', {3}), 'zarvo:args', 'cube must be a real scalar');
  zt_expect_error(@() zarvo_denoise(Y, 'cube', [3 4]), 'zarvo:args', 'cube must be a real scalar');
  zt_expect_error(@() zarvo_denoise(Y, 'search', 2^30), 'zarvo:args', 'search: must be from 0 to 1024');
  zt_expect_error(@() zarvo_denoise(Y, 'group1', 1e9), 'zarvo:args', 'group1: must be from 1 to 1024');
  zt_expect_error(@() zarvo_denoise(Y, 'threads', 5000), 'zarvo:args', 'threads: must be from 0 to 4096');
  zt_expect_error(@() zarvo_denoise(Y, 'threads', NaN), 'zarvo:args', 'threads: NaN is not a whole number');
  zt_expect_error(@() zarvo_denoise(Y, 'series', 'all'), 'zarvo:args', 'neither volumes nor joint');
  zt_expect_error(@() zarvo_denoise(Y, 'mask', NaN(size(Y))), 'zarvo:args', 'NaN');
  zt_expect_error(@() zarvo_denoise(Y, 'a b', 1), 'zarvo:args', 'unknown option');
  % A flag undoes what it set; false is the default profile's value.
  assert(isequal(zarvo_denoise(Y, 'sigma', sigma, 'soft', false), zarvo_denoise(Y, 'sigma', sigma)));
  assert(~isequal(zarvo_denoise(Y, 'sigma', sigma, 'soft', true), zarvo_denoise(Y, 'sigma', sigma)));
  % The declaration, as the function lists it, and a profile's values.
  decls = zarvo_denoise_mex('options');
  names = {decls.name};
  assert(all(ismember({'series', 'soft', 'synchronous', 'sigma_map', 'threads'}, names)));
  assert(~any(strcmp(names, 'noise_map')), 'the noise map is the second output here');
  p = zarvo_denoise_mex('profile', 'default');
  assert(strcmp(p.estimate, 'volume') && p.search == 5 && p.soft == 0);
  text = evalc('zarvo_denoise(''options'')');
  assert(~isempty(strfind(text, '''search'' (0 to 1024)')), text);
end

function remove_folder(dir)
  confirm_recursive_rmdir(false);
  rmdir(dir, 's');
end

function write_nifti(file, Y)
  % A minimal single-file NIfTI-1 image of doubles with an identity affine.
  dims = size(Y);
  hdr = zeros(1, 352, 'uint8');
  f = fopen(file, 'w', 'ieee-le');
  fwrite(f, hdr, 'uint8');
  fseek(f, 0, 'bof');   fwrite(f, 348, 'int32');
  fseek(f, 40, 'bof');  fwrite(f, [numel(dims) dims ones(1, 7 - numel(dims))], 'int16');
  fseek(f, 70, 'bof');  fwrite(f, [64 64], 'int16');            % float64, 64 bits
  fseek(f, 76, 'bof');  fwrite(f, [1 1 1 1 1 1 1 1], 'float32'); % qfac and voxel sizes
  fseek(f, 108, 'bof'); fwrite(f, [352 1 0], 'float32');         % data offset, slope, intercept
  fseek(f, 254, 'bof'); fwrite(f, 1, 'int16');                   % sform code
  fseek(f, 280, 'bof'); fwrite(f, [1 0 0 0 0 1 0 0 0 0 1 0], 'float32');
  fseek(f, 344, 'bof'); fwrite(f, ['n+1' 0], 'uint8');
  fseek(f, 352, 'bof'); fwrite(f, Y(:), 'double');
  fclose(f);
end

function Y = read_nifti(file)
  % Reads a single-file NIfTI-1 image of float32 or float64 written by zarvo.
  f = fopen(file, 'r', 'ieee-le');
  fseek(f, 40, 'bof');  dim = fread(f, 8, 'int16')';
  fseek(f, 70, 'bof');  datatype = fread(f, 1, 'int16');
  fseek(f, 108, 'bof'); offset = fread(f, 1, 'float32');
  fseek(f, offset, 'bof');
  if datatype == 64
    Y = fread(f, prod(dim(2:dim(1) + 1)), 'double');
  else
    assert(datatype == 16, 'unexpected data type');
    Y = fread(f, prod(dim(2:dim(1) + 1)), 'single');
  end
  fclose(f);
  Y = reshape(Y, [dim(2:dim(1) + 1) 1]);
end

function test_rice_calls()
  % zarvo_thr_rice_mex and zarvo_wie_rice_mex as a user calls them: the three
  % forms of the noise argument, a map that is 0 at a reference voxel, the
  % noisy fallback, and the refusals of malformed noise arguments.
  randn('seed', 5);
  X = 2 + zt_phantom(16, 8) * 8;
  sigma = 0.5;
  Y = zt_rician(X, sigma);
  map = sigma * ones(size(Y));

  [B, s] = zarvo_thr_rice_mex(zt_thr_args(Y, map){:});
  assert(isequal(size(B), size(Y)) && all(s(:) == 0));
  [B1, s1] = zarvo_thr_rice_mex(zt_thr_args(Y, sigma){:});
  assert(isequal(B1, B) && isequal(s1, s), 'one level acts as a constant map');
  [F, s] = zarvo_wie_rice_mex(zt_wie_args(Y, B, map){:});
  [F1, s1] = zarvo_wie_rice_mex(zt_wie_args(Y, B, sigma){:});
  assert(isequal(F1, F) && isequal(s1, s) && all(s(:) == 0));

  % Adaptive mode: the noise map holds the mean level estimated from the
  % groups' samples; on a flat signal that is the true level.
  flat = zt_rician(5 * ones(16, 16, 8), sigma);
  [~, s] = zarvo_thr_rice_mex(zt_thr_args(flat, 0, 'tau', 3 * sigma^2 * 64){:});
  printf('adaptive Rician level: mean %.3f (true %.3f)\n', mean(s(:)), sigma);
  assert(all(s(:) > 0) && abs(mean(s(:)) - sigma) < 0.1 * sigma);
  [~, s] = zarvo_wie_rice_mex(zt_wie_args(flat, 5 * ones(size(flat)), 0){:});
  assert(all(s(:) > 0) && abs(mean(s(:)) - sigma) < 0.1 * sigma);

  % A map that is 0 at the first voxel of the reference cube at (1, 1, 1):
  % that group is aggregated from the noisy values with an overwhelming
  % weight, whatever the map holds at the cube's other voxels.
  map0 = map;
  map0(1, 1, 1) = 0;
  cube = false(size(Y));
  cube(1:4, 1:4, 1:4) = true;
  B0 = zarvo_thr_rice_mex(zt_thr_args(Y, map0){:});
  assert(max(abs(B0(cube) - Y(cube))) < 1e-9, 'first stage: raw group dominates');
  assert(isequal(B0(~cube), B(~cube)) || max(abs(B0(~cube) - B(~cube))) < 1e-9);
  F0 = zarvo_wie_rice_mex(zt_wie_args(Y, B, map0){:});
  assert(max(abs(F0(cube) - Y(cube))) < 1e-9, 'second stage: raw group dominates');

  % No cube fits: both stages return the noisy volume.
  small = Y(1:3, 1:3, :);
  assert(isequal(zarvo_thr_rice_mex(zt_thr_args(small, 0.5){:}), small));
  assert(isequal(zarvo_wie_rice_mex(zt_wie_args(small, small + 1, 0.5){:}), small));

  % Malformed noise arguments and other refusals.
  args = zt_thr_args(Y, map);
  bad = @(i, v) subsasgn(args, substruct('{}', {i}), v);
  call = @(a) zarvo_thr_rice_mex(a{:});
  zt_expect_error(@() call(bad(10, map(:, :, 1:4))), 'zarvo:shapeMismatch', 'Argument 10 (sigma_oracle)');
  zt_expect_error(@() call(bad(10, [0.5 0.5])), 'zarvo:shapeMismatch', 'Argument 10 (sigma_oracle)');
  zt_expect_error(@() call(bad(10, complex(map))), 'zarvo:complex', 'Argument 10 (sigma_oracle)');
  zt_expect_error(@() call(bad(10, [])), 'zarvo:shapeMismatch', 'Argument 10 (sigma_oracle)');
  zt_expect_error(@() call(args(1:10)), 'zarvo:nargin', '18 input arguments');
  wargs = zt_wie_args(Y, B, map);
  zt_expect_error(@() zarvo_wie_rice_mex(wargs{1:2}, wargs{3:9}, 'x', wargs{11:16}), ...
                  'zarvo:notDouble', 'Argument 10 (sigma_oracle)');
  zt_expect_error(@() zarvo_wie_rice_mex(wargs{1}, B(:, :, 1:4), wargs{3:16}), ...
                  'zarvo:shapeMismatch', 'Argument 2 (Bn_hat)');
  zt_expect_error(@() zarvo_thr_rice_mex(zt_thr_args(Y(:, :, 1), 0.5){:}), '', ...
                  'The depth of the cube must be less than or equal to the depth of the input.');
end

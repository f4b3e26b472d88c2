function test_wie_calls()
  % zarvo_wie_mex as a user calls it. With identity transforms every
  % coefficient is a voxel value, so the Wiener rules can be read off the
  % output directly: 2 x 2 x 1 cubes, groups of one, step 2 (cubes tile the
  % 4 x 6 image without overlap), the DC is each cube's top-left voxel.
  I2 = eye(2);
  G = {1};
  wie = @(Bn, Bn_hat, sigma) zarvo_wie_mex(Bn, Bn_hat, 2, 2, 1, 1, 1e9, 2, 0, sigma, ...
                                           I2, I2, 1, 1, G, G);
  randn('seed', 3);
  Bn = 1 + rand(4, 6);
  dc = false(4, 6);
  dc(1:2:end, 1:2:end) = true;

  % Basic estimate equal to sigma everywhere: every Wiener factor is 0.5.
  sigma = 0.3;
  [y, s] = wie(Bn, sigma * ones(4, 6), sigma);
  assert(isequal(size(y), size(Bn)) && all(s(:) == 0));
  assert(max(abs(y(dc) - Bn(dc))) < 1e-15, 'the DC passes unchanged');
  assert(max(abs(y(~dc) - 0.5 * Bn(~dc))) < 1e-15, 'factor 0.5 where b^2 = sigma^2');

  % A zero pilot coefficient zeroes the noisy one.
  Bn_hat = sigma * ones(4, 6);
  Bn_hat(2, 3) = 0;
  y = wie(Bn, Bn_hat, sigma);
  assert(y(2, 3) == 0);

  % A level not above eps: the first group is left unshrunk (weight 1/eps),
  % every later group is shrunk as if sigma were 1.
  Bn_hat = 2 * ones(4, 6);
  [y, s] = wie(Bn, Bn_hat, -1);
  first = false(4, 6);
  first(1:2, 1:2) = true;
  assert(max(abs(y(first) - Bn(first))) < 1e-15, 'first group unshrunk');
  later = ~first & ~dc;
  assert(max(abs(y(later) - 0.8 * Bn(later))) < 1e-15, 'later groups shrunk with sigma 1');
  assert(all(s(:) == 0));

  % Adaptive mode: a flat noisy cube estimates 0, becomes 1.0 and stays
  % unshrunk; every group adds its level to the noise map.
  Bn_flat = Bn;
  Bn_flat(1:2, 3:4) = 5;
  [y, s] = wie(Bn_flat, sigma * ones(4, 6), 0);
  assert(all(y(1:2, 3:4)(:) == 5), 'flat group returned unshrunk');
  assert(all(s(1:2, 3:4)(:) == 1), 'flat group adds 1.0 to the noise map');
  assert(all(s(:) > 0), 'every group reaches the noise map');

  % The fallback value where no cube reaches is the basic estimate's.
  small = rand(1, 1, 3);
  small_hat = rand(1, 1, 3);
  y = zarvo_wie_mex(small, small_hat, 2, 2, 1, 1, 1e9, 2, 0, sigma, I2, I2, 1, 1, G, G);
  assert(isequal(y, small_hat), 'no cube fits: the output is the basic estimate');

  % Matching runs on the basic estimate, not on the noisy volume: a pilot
  % that repeats the reference cube exactly at one place pulls that cube in.
  T = zt_dct(2);
  G2 = {1, zt_haar(2)};
  Bn = rand(2, 8);
  Bn_hat = rand(2, 8) * 10;
  Bn_hat(:, 5:6) = Bn_hat(:, 1:2);  % the cube at column 5 equals the one at 1
  % With tau just above 0 only identical pilot cubes match.
  y2 = zarvo_wie_mex(Bn, Bn_hat, 8, 2, 2, 1, 1e-12, 8, 0, 1e-3, T, T, 1, 1, G2, G2);
  y1 = zarvo_wie_mex(Bn, Bn_hat, 8, 2, 1, 1, 1e-12, 8, 0, 1e-3, T, T, 1, 1, G2, G2);
  assert(any(abs(y2(:, 1:2)(:) - y1(:, 1:2)(:)) > 1e-6), 'the pilot match changes the group');

  % Refusals specific to the second stage.
  args = zt_wie_args(rand(8, 8, 4), rand(8, 8, 4), 0.1);
  bad = @(i, v) subsasgn(args, substruct('{}', {i}), v);
  call = @(a) zarvo_wie_mex(a{:});
  zt_expect_error(@() call(args(1:15)), 'zarvo:nargin', '16 input arguments');
  zt_expect_error(@() call(bad(2, rand(8, 8, 3))), 'zarvo:shapeMismatch', 'Argument 2 (Bn_hat)');
  zt_expect_error(@() call(bad(2, rand(8, 8))), 'zarvo:shapeMismatch', 'Argument 2 (Bn_hat)');
  zt_expect_error(@() call(bad(2, complex(args{2}))), 'zarvo:complex', 'Argument 2 (Bn_hat)');
  zt_expect_error(@() call(bad(10, {0})), 'zarvo:notDouble', 'Argument 10 (sigma)');
  zt_expect_error(@() call(bad(15, {})), 'zarvo:missingGroupMatrix', 'Argument 15 (Tfor_group)');
  deep = zt_wie_args(rand(8, 8, 4), rand(8, 8, 4), 0.1, 'nm3', 5);
  zt_expect_error(@() call(deep), '', ...
                  'The depth of the cube must be less than or equal to the depth of the input.');
end

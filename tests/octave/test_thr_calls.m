function test_thr_calls()
  % zarvo_thr_mex called as a user calls it: shapes of the outputs, the
  % noise map in adaptive mode, the depth check, small volumes.
  randn('seed', 1);
  X = 0.5 + 0.1 * randn(12, 11, 6);

  [y, s] = zarvo_thr_mex(zt_thr_args(X, 0.1){:});
  assert(isequal(size(y), size(X)) && isequal(size(s), size(X)));
  assert(all(s(:) == 0), 'a given sigma leaves the noise map zero');
  assert(all(isfinite(y(:))));
  y1 = zarvo_thr_mex(zt_thr_args(X, 0.1){:});
  assert(isequal(y1, y), 'one output gives the same estimate');

  % Adaptive mode: the noise map holds the mean group estimate (about the
  % true level of 0.1 here), never zero where groups reached.
  [~, s] = zarvo_thr_mex(zt_thr_args(X, 0){:});
  assert(all(s(:) > 0.05 & s(:) < 0.2), 'adaptive noise map near the true level');

  % 2-D input: one slice position with nm3 = 1, refused with nm3 = 2.
  X2 = X(:, :, 1);
  [y2, s2] = zarvo_thr_mex(zt_thr_args(X2, 0.1, 'nm3', 1){:});
  assert(isequal(size(y2), size(X2)) && isequal(size(s2), size(X2)));
  depth_msg = 'The depth of the cube must be less than or equal to the depth of the input.';
  zt_expect_error(@() zarvo_thr_mex(zt_thr_args(X2, 0.1, 'nm3', 2){:}), '', depth_msg);
  zt_expect_error(@() zarvo_thr_mex(zt_thr_args(X, 0.1, 'nm3', 7){:}), '', depth_msg);
  y6 = zarvo_thr_mex(zt_thr_args(X, 0.1, 'nm3', 6){:});
  assert(isequal(size(y6), size(X)), 'a cube as deep as the volume is accepted');

  % A volume smaller than a cube returns the input and a zero map.
  Xs = X(1:3, 1:3, :);
  [ys, ss] = zarvo_thr_mex(zt_thr_args(Xs, 0.1){:});
  assert(isequal(ys, Xs) && all(ss(:) == 0));

  % A level not above eps leaves every group unshrunk: with orthonormal
  % transforms the input comes back up to rounding.
  y0 = zarvo_thr_mex(zt_thr_args(X, 1e-20){:});
  assert(max(abs(y0(:) - X(:))) < 1e-12, 'unshrunk groups reproduce the input');

  % Truncation of integer parameters: nm1 = 4.9 acts as 4, hard = 0.7 as 0.
  a = zt_thr_args(X, 0.1, 'hard', 0);
  b = a;
  b{3} = 4.9;
  b{12} = 0.7;
  assert(isequal(zarvo_thr_mex(a{:}), zarvo_thr_mex(b{:})));

  % Inputs are never modified.
  X_copy = X;
  zarvo_thr_mex(zt_thr_args(X, 0){:});
  assert(isequal(X, X_copy));
end

function test_thr_phantom()
  % End to end: the first stage clearly lowers the error of a noisy 3-D
  % phantom, and the walk gives the very same result on one thread and on
  % several.
  randn('seed', 7);
  X = zt_phantom(40, 24);
  sigma = 0.05;
  Y = X + sigma * randn(size(X));

  args = zt_thr_args(Y, sigma);
  tic;
  [B, s] = zarvo_thr_mex(args{:});
  t = toc;
  before = zt_psnr(Y, X, 1);
  after = zt_psnr(B, X, 1);
  printf('first stage, sigma %.2f: PSNR %.2f dB -> %.2f dB (gain %.2f dB, %.2f s)\n', ...
         sigma, before, after, after - before, t);
  assert(after - before > 5, 'the first stage gains more than 5 dB');

  [B1, s1] = zarvo_thr_mex(args{:}, 1);
  assert(isequal(B1, B) && isequal(s1, s), 'one thread and every core give identical outputs');

  % The same in adaptive mode, with the noise map.
  args = zt_thr_args(Y, 0, 'tau', 1.5 * sigma^2 * 64);
  [B, s] = zarvo_thr_mex(args{:});
  [B3, s3] = zarvo_thr_mex(args{:}, 3);
  [B1, s1] = zarvo_thr_mex(args{:}, 1);
  assert(isequal(B3, B) && isequal(s3, s) && isequal(B1, B) && isequal(s1, s), ...
         'identical outputs in adaptive mode on 1, 3 and every core');
  printf('adaptive: PSNR %.2f dB, mean estimated level %.4f (true %.4f)\n', ...
         zt_psnr(B, X, 1), mean(s(:)), sigma);
  assert(abs(mean(s(:)) - sigma) < 0.2 * sigma);

  % The thread count is the only optional argument, and a count.
  zt_expect_error(@() zarvo_thr_mex(args{:}, 1, 1), 'zarvo:nargin', 'expects 18 input arguments');
  zt_expect_error(@() zarvo_thr_mex(args{:}, -1), 'zarvo:threads', '19 (threads)');
end

function test_thr_phantom()
  % End to end: the first stage clearly lowers the error of a noisy 3-D
  % phantom, and the stand-alone host gives the very same result.
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

  out = zt_standalone('zarvo_thr_mex', args);
  assert(iscell(out), 'the stand-alone host runs the same call');
  assert(isequal(out{1}, B) && isequal(out{2}, s), 'both hosts give identical outputs');

  % The same in adaptive mode, with the noise map.
  args = zt_thr_args(Y, 0, 'tau', 1.5 * sigma^2 * 64);
  [B, s] = zarvo_thr_mex(args{:});
  out = zt_standalone('zarvo_thr_mex', args);
  assert(isequal(out{1}, B) && isequal(out{2}, s), 'identical outputs in adaptive mode');
  printf('adaptive: PSNR %.2f dB, mean estimated level %.4f (true %.4f)\n', ...
         zt_psnr(B, X, 1), mean(s(:)), sigma);
  assert(abs(mean(s(:)) - sigma) < 0.2 * sigma);

  % Errors come back through the stand-alone host too.
  msg = zt_standalone('zarvo_thr_mex', args(1:5));
  assert(ischar(msg) && ~isempty(strfind(msg, 'expects 18 input arguments')));
end

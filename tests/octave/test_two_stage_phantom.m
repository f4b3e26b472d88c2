function test_two_stage_phantom()
  % End to end, Gaussian noise: the first stage, then the Wiener stage with
  % the first stage's output as basic estimate. The second stage improves on
  % the first at every level, and one thread agrees with every core bit for
  % bit.
  X = zt_phantom(40, 24);
  for sigma = [0.02 0.05 0.1]
    randn('seed', round(1000 * sigma));
    Y = X + sigma * randn(size(X));
    B = zarvo_thr_mex(zt_thr_args(Y, sigma){:});
    wargs = zt_wie_args(Y, B, sigma, 'nm2', 32, 'tau', 0.4 * sigma^2 * 64);
    [F, s] = zarvo_wie_mex(wargs{:});
    p = [zt_psnr(Y, X, 1), zt_psnr(B, X, 1), zt_psnr(F, X, 1)];
    printf('sigma %.2f: noisy %.2f dB, first stage %.2f dB, second stage %.2f dB\n', sigma, p);
    assert(p(2) > p(1) + 3, 'the first stage improves on the noisy volume');
    assert(p(3) > p(2) + 0.2, 'the second stage improves on the first');
    assert(all(s(:) == 0));
    if sigma == 0.05
      [F1, s1] = zarvo_wie_mex(wargs{:}, 1);
      assert(isequal(F1, F) && isequal(s1, s), 'one thread gives the same second stage');
    end
  end
end

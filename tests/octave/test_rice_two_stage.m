function test_rice_two_stage()
  % End to end, Rician noise on a magnitude phantom with flat plateaus: both
  % stages beat the noisy data, and the mean bias in the background and in
  % the bright plateau is clearly smaller than the noisy data's (at 3 % noise
  % the noisy bright bias, about sigma^2 / 200, is too small to measure and
  % is only reported). One thread and several agree bit for bit.
  [X, bright] = zt_plateaus(56, 28);
  background = X == 0;
  peak = max(X(:));
  bias = @(V, m) mean(V(m) - X(m));
  for level = [0.03 0.09 0.15]
    sigma = level * peak;
    randn('seed', round(1000 * level));
    Y = zt_rician(X, sigma);
    targs = zt_thr_args(Y, sigma);
    B = zarvo_thr_rice_mex(targs{:});
    wargs = zt_wie_args(Y, B, sigma, 'nm2', 32, 'tau', 0.4 * sigma^2 * 64);
    F = zarvo_wie_rice_mex(wargs{:});
    p = [zt_psnr(Y, X, peak), zt_psnr(B, X, peak), zt_psnr(F, X, peak)];
    printf(['Rician %2.0f%%: PSNR noisy %.2f, first %.2f, second %.2f dB; mean bias ' ...
            'background %.3f -> %.3f, bright %.3f -> %.3f\n'], 100 * level, p, ...
           bias(Y, background), bias(F, background), bias(Y, bright), bias(F, bright));
    assert(p(2) > p(1) + 5 && p(3) > p(2), 'each stage improves');
    assert(abs(bias(F, background)) < 0.25 * abs(bias(Y, background)), 'background bias');
    if level >= 0.09
      assert(abs(bias(F, bright)) < 0.5 * abs(bias(Y, bright)), 'bright bias');
    end
    if level == 0.09
      assert(isequal(zarvo_thr_rice_mex(targs{:}, 1), B), 'thread counts agree on the first stage');
      assert(isequal(zarvo_wie_rice_mex(wargs{:}, 3), F), 'thread counts agree on the second stage');
    end
  end
end

function test_interrupt()
  % Ctrl-C during a long zarvo_denoise or stage plug-in call: the call stops
  % within a second of the interrupt with the error zarvo:interrupted (which
  % try/catch sees), instead of running to its end first.
  Y = 100 + 5 * randn(160, 160, 96);
  interrupted_within(@() zarvo_denoise(Y, 'sigma', 5, 'threads', 1), 'zarvo_denoise');

  n = 4; [k, i] = ndgrid(0:n - 1);
  T = sqrt(2 / n) * cos(pi * (2 * i + 1) .* k / (2 * n)); T(1, :) = T(1, :) / sqrt(2);
  r = sqrt(2);
  G = {1, [1 1; 1 -1] / r, [], [1 1 1 1; 1 1 -1 -1; r -r 0 0; 0 0 r -r] / 2};
  tau = 3 * 5^2 * 4 * 4 * 4;
  % Dense reference cubes and a wide window: many seconds on one thread.
  interrupted_within(@() zarvo_thr_mex(Y, 2, 4, 4, 4, 2.7, tau, 11, 0, 5, 1, 1, ...
                                       T, T, T, T, G, G, 1), 'zarvo_thr_mex');
end

function interrupted_within(call, name)
  system(sprintf('(sleep 2; kill -INT %d) &', getpid()));
  t = tic;
  try
    call();
    error('test:failed', '%s was not interrupted (%.1f s)', name, toc(t));
  catch e
    seconds = toc(t);
    assert(strcmp(e.identifier, 'zarvo:interrupted'), [name ': ' e.message]);
    assert(seconds < 3.5, sprintf('%s stopped %.2f s after the start, 2 s after the interrupt', ...
                                  name, seconds));
  end
end

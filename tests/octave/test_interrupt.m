function test_interrupt()
  % Ctrl-C during a long zarvo_denoise: the run stops within a second of
  % the interrupt with the error zarvo:interrupted (which try/catch sees),
  % instead of running to its end first.
  Y = 100 + 5 * randn(160, 160, 96);
  system(sprintf('(sleep 2; kill -INT %d) &', getpid()));
  t = tic;
  try
    zarvo_denoise(Y, 'sigma', 5, 'threads', 1);
    error('test:failed', 'the run was not interrupted (%.1f s)', toc(t));
  catch e
    seconds = toc(t);
    assert(strcmp(e.identifier, 'zarvo:interrupted'), e.message);
    assert(seconds < 3.5, sprintf('stopped %.2f s after the start, 2 s after it the interrupt', seconds));
  end
end

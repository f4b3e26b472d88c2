function p = zt_psnr(X, ref, peak)
  % Peak signal-to-noise ratio of X against ref, in dB.
  if nargin < 3
    peak = max(ref(:));
  end
  p = 10 * log10(peak ^ 2 / mean((X(:) - ref(:)) .^ 2));
end

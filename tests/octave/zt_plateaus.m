function [X, bright] = zt_plateaus(n, depth)
  % A magnitude phantom with flat plateaus: background 0, an ellipsoid of 30
  % and a large inner ellipsoid of 100, n x n x depth voxels. `bright` marks
  % the inner plateau away from its edge, where the mean bias of a denoiser
  % can be measured without blur.
  [y, x, z] = ndgrid(linspace(-1, 1, n), linspace(-1, 1, n), linspace(-1, 1, depth));
  r = sqrt((x / 0.9) .^ 2 + (y / 0.8) .^ 2 + (z / 0.95) .^ 2);
  X = 30 * (r < 1) + 70 * (r < 0.7);
  bright = r < 0.55;
end

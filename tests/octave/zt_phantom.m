function X = zt_phantom(n, depth)
  % A smooth 3-D phantom in [0, 1]: nested ellipsoids with a soft edge and a
  % gentle gradient, n x n x depth voxels.
  [y, x, z] = ndgrid(linspace(-1, 1, n), linspace(-1, 1, n), linspace(-1, 1, depth));
  r1 = sqrt((x / 0.85) .^ 2 + (y / 0.7) .^ 2 + (z / 0.95) .^ 2);
  r2 = sqrt(((x - 0.2) / 0.3) .^ 2 + (y / 0.25) .^ 2 + (z / 0.5) .^ 2);
  r3 = sqrt(((x + 0.3) / 0.2) .^ 2 + ((y + 0.2) / 0.3) .^ 2 + (z / 0.6) .^ 2);
  edge = @(r) 1 ./ (1 + exp((r - 1) * 25));
  X = 0.2 * edge(r1) + 0.5 * edge(r1 * 1.25) .* (0.8 + 0.2 * x) + 0.3 * edge(r2) - 0.25 * edge(r3);
end

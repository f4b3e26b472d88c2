function [X, B] = zarvo_stages_example(Y, sigma, noise)
  % ZARVO_STAGES_EXAMPLE  The two stages chained by hand through the plug-ins.
  %
  %   [X, B] = zarvo_stages_example(Y, sigma)
  %   [X, B] = zarvo_stages_example(Y, sigma, 'rician')
  %
  % What zarvo_denoise(Y, 'sigma', sigma, 'noise', noise) does for one 3-D
  % volume Y with a known noise level, written out: the default profile's
  % values, the transform matrices (orthonormal DCT-II for the slices and the
  % depth, orthonormal Haar for the group dimension), the matching limits,
  % then the hard-thresholding stage (B, the basic estimate) and the Wiener
  % stage matched on it (X). It gives the same bits as zarvo_denoise for
  % Gaussian noise; for Rician noise zarvo_denoise stabilises each volume
  % once instead of every group, which may move the last bit of a few voxels.
  if nargin < 3
    noise = 'gaussian';
  end
  rician = strcmp(noise, 'rician');
  p = zarvo_denoise_mex('profile', 'default');
  depth = min(p.depth, size(Y, 3));
  T = dct_matrix(p.cube);
  T3 = dct_matrix(depth);
  G1 = group_matrices(p.group1);
  G2 = group_matrices(p.group2);
  % The matching limits: the per-voxel limits of the profile, in noise
  % variances, times the voxels of a cube.
  tau1 = p.tau1 * (sigma * sigma) * (p.cube * p.cube * depth);
  tau2 = p.tau2 * (sigma * sigma) * (p.cube * p.cube * depth);
  hard = double(~p.soft);
  if rician
    B = zarvo_thr_rice_mex(Y, p.step, p.cube, p.group1, depth, p.lambda, tau1, p.search, ...
                           p.synchronous, sigma, p.alpha, hard, T, T, T3, T3, G1, G1);
    X = zarvo_wie_rice_mex(Y, B, p.step, p.cube, p.group2, depth, tau2, p.search, ...
                           p.synchronous, sigma, T, T, T3, T3, G2, G2);
  else
    B = zarvo_thr_mex(Y, p.step, p.cube, p.group1, depth, p.lambda, tau1, p.search, ...
                      p.synchronous, sigma, p.alpha, hard, T, T, T3, T3, G1, G1);
    X = zarvo_wie_mex(Y, B, p.step, p.cube, p.group2, depth, tau2, p.search, ...
                      p.synchronous, sigma, T, T, T3, T3, G2, G2);
  end
end

function T = dct_matrix(n)
  % Orthonormal DCT-II, term by term as the engine builds it.
  T = zeros(n);
  scale = sqrt(2 / n);
  for i = 0:n - 1
    for k = 0:n - 1
      v = scale * cos(pi * (2 * i + 1) * k / (2 * n));
      if k == 0
        v = v / sqrt(2);
      end
      T(k + 1, i + 1) = v;
    end
  end
end

function G = group_matrices(largest)
  % Element L holds the orthonormal Haar matrix for groups of L cubes, for
  % every power of two L up to the largest group.
  G = cell(1, largest);
  H = 1;
  while size(H, 1) <= largest
    G{size(H, 1)} = H;
    m = size(H, 1);
    bottom = kron(eye(m), [1 -1]);
    bottom(bottom == 1) = 1 / sqrt(2);
    bottom(bottom == -1) = -1 / sqrt(2);
    H = [kron(H, [1 1]) / sqrt(2); bottom];
  end
end

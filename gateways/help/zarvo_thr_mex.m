function varargout = zarvo_thr_mex(varargin)
  % ZARVO_THR_MEX  The hard-thresholding stage for Gaussian noise (MEX file).
  %
  %   [y_hat, sigma_hat] = zarvo_thr_mex(Bn, Nstep, nm1, nm2, nm3, lambda4D, ...
  %       tau_match, search_block_size, synchronous, sigma, alpha, hard, ...
  %       Tfor, Tinv, Tfor3, Tinv3, Tfor_group, Tinv_group)
  %   [y_hat, sigma_hat] = zarvo_thr_mex(..., threads)
  %
  % The first stage of the denoiser: around every reference cube of the volume
  % Bn (nm1 x nm1 x nm3 voxels, every Nstep positions) the most similar cubes
  % within the matching window are stacked into a group, the group is
  % transformed (slices, depth, then across the cubes), its coefficients are
  % hard-thresholded, and the filtered cubes are put back in place and
  % averaged with weights: the basic estimate.
  %
  % Arguments (real doubles; whole-number parameters are truncated toward zero):
  %   Bn                 the noisy volume: 2-D (one slice) or 3-D, rows x columns x slices
  %   Nstep              step between reference cubes (below 1: every position)
  %   nm1                cube side in rows and columns (at least 1)
  %   nm2                largest group, in cubes (at least 1; groups have a power of
  %                      two cubes)
  %   nm3                cube depth in slices (at least 1, at most the slices of Bn)
  %   lambda4D           hard threshold, in noise standard deviations
  %   tau_match          matching limit: the largest sum of squared differences
  %                      between two cubes (a per-voxel limit x sigma^2 x nm1^2 x nm3)
  %   search_block_size  half-width of the matching window, in voxels
  %   synchronous        1: match only within the reference cube's slices; 0: across
  %                      slices too
  %   sigma              the noise standard deviation; 0: adaptive, each group's level
  %                      estimated from its own samples
  %   alpha              alpha-rooting exponent of the kept coefficients (1: none)
  %   hard               1: hard thresholding; 0: soft
  %   Tfor, Tinv         nm1 x nm1 forward and inverse transform of a cube's slices
  %   Tfor3, Tinv3       nm3 x nm3 transform along the depth (Tinv3 is checked but not
  %                      used: the inverse applies Tfor3')
  %   Tfor_group,        cell arrays whose element L holds the L x L forward (inverse)
  %   Tinv_group         transform of a group of L cubes, for every power of two L up
  %                      to nm2 (other elements are not looked at)
  %   threads            optional, after the last argument: threads of the walk over
  %                      reference cubes (0 or absent: every core the process may
  %                      use); the result does not depend on it
  %
  % Outputs (real doubles of the size of Bn):
  %   y_hat              the basic estimate
  %   sigma_hat          with sigma 0 (adaptive), the mean noise level estimated
  %                      over the groups that reached each voxel (0 where none
  %                      did); zeros otherwise
  %
  % A refused argument ends the call with an error whose identifier starts with
  % "zarvo:" and whose message names the argument by position and name.
  % zarvo_denoise does all of this for whole volumes and series (levels
  % estimated, transforms and limits from a profile); zarvo_stages_example
  % chains the two stages by hand with the default profile's values.
  %
  % Example (a 24 x 24 x 8 volume with noise of level 10; cubes of
  % 4 x 4 x 4, groups of up to 4 cubes, transforms built inline):
  %   n = 4; [k, i] = ndgrid(0:n - 1);         % orthonormal DCT-II of order 4
  %   T = sqrt(2 / n) * cos(pi * (2 * i + 1) .* k / (2 * n)); T(1, :) = T(1, :) / sqrt(2);
  %   r = sqrt(2);                               % orthonormal Haar of 1, 2 and 4 cubes
  %   G = {1, [1 1; 1 -1] / r, [], [1 1 1 1; 1 1 -1 -1; r -r 0 0; 0 0 r -r] / 2};
  %   tau = 3 * 10^2 * 4 * 4 * 4;                % 3 noise variances per voxel
  %   Y = 100 + 10 * randn(24, 24, 8);
  %   B = zarvo_thr_mex(Y, 3, 4, 4, 4, 2.7, tau, 5, 0, 10, 1, 1, T, T, T, T, G, G);
  %   printf('noise %.2f, left %.2f\n', std(Y(:) - 100), std(B(:) - 100));
  %
  % See also: zarvo_wie_mex, zarvo_thr_rice_mex, zarvo_denoise, zarvo_stages_example
  error('zarvo:nomex', ['zarvo_thr_mex: its MEX file is not beside this help file ' ...
                        '(zarvo_thr_mex.mex: build or install zarvo''s MEX files)']);
end

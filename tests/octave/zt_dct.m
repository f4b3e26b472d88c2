function T = zt_dct(n)
  % Orthonormal DCT-II matrix of order n (rows are the basis functions).
  [k, i] = ndgrid(0:n-1, 0:n-1);
  T = sqrt(2 / n) * cos(pi * (2 * i + 1) .* k / (2 * n));
  T(1, :) = T(1, :) / sqrt(2);
end

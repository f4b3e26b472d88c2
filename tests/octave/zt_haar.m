function H = zt_haar(n)
  % Orthonormal Haar matrix of order n, a power of two.
  H = 1;
  while size(H, 1) < n
    m = size(H, 1);
    H = [kron(H, [1 1]); kron(eye(m), [1 -1])] / sqrt(2);
  end
end

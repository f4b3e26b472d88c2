function Y = zt_rician(X, sigma)
  % Magnitude of X plus complex Gaussian noise of level sigma.
  Y = abs(X + sigma * randn(size(X)) + 1i * sigma * randn(size(X)));
end

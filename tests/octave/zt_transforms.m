function [T, T3, G] = zt_transforms(p)
  % DCT matrices for slices and depth, and the Haar matrices of every power
  % of two up to p.nm2 in a cell (element L for groups of L cubes).
  T = zt_dct(p.nm1);
  T3 = zt_dct(p.nm3);
  G = cell(1, p.nm2);
  L = 1;
  while L <= p.nm2
    G{L} = zt_haar(L);
    L = 2 * L;
  end
end

function test_thr_malformed()
  % Every malformed call ends in an Octave error naming the problem, never
  % in a crash.
  X = rand(10, 10, 5);
  good = zt_thr_args(X, 0.1);
  call = @(a) zarvo_thr_mex(a{:});

  zt_expect_error(@() zarvo_thr_mex(), 'zarvo:nargin', '18 input arguments');
  zt_expect_error(@() call(good(1:17)), 'zarvo:nargin', 'but 17 were given');
  zt_expect_error(@() call([good {1 1}]), 'zarvo:nargin', 'but 20 were given');
  zt_expect_error(@() call([good {'a'}]), 'zarvo:notDouble', '19 (threads)');
  zt_expect_error(@() three_outputs(good), 'zarvo:nargout', 'at most 2');

  bad = @(i, v) subsasgn(good, substruct('{}', {i}), v);
  zt_expect_error(@() call(bad(1, 'a string')), 'zarvo:notDouble', 'Argument 1 (Bn)');
  zt_expect_error(@() call(bad(1, complex(X, X))), 'zarvo:complex', 'Argument 1 (Bn)');
  zt_expect_error(@() call(bad(1, single(X))), 'zarvo:notDouble', 'Argument 1 (Bn)');
  zt_expect_error(@() call(bad(1, sparse(X(:, :, 1)))), 'zarvo:notDouble', 'Argument 1 (Bn)');
  zt_expect_error(@() call(bad(1, rand(5, 5, 5, 2))), 'zarvo:badDimensions', '2 or 3 dimensions');
  zt_expect_error(@() call(bad(1, {X})), 'zarvo:notDouble', 'Argument 1 (Bn)');
  zt_expect_error(@() call(bad(3, 0)), 'zarvo:outOfRange', 'Argument 3 (nm1) must be at least 1');
  zt_expect_error(@() call(bad(4, 0.5)), 'zarvo:outOfRange', 'Argument 4 (nm2)');
  zt_expect_error(@() call(bad(3, NaN)), 'zarvo:outOfRange', 'Argument 3 (nm1)');
  zt_expect_error(@() call(bad(2, 1e10)), 'zarvo:outOfRange', 'Argument 2 (Nstep)');
  zt_expect_error(@() call(bad(10, 'x')), 'zarvo:notDouble', 'Argument 10 (sigma)');
  zt_expect_error(@() call(bad(10, [])), 'zarvo:notScalar', 'Argument 10 (sigma)');
  zt_expect_error(@() call(bad(13, eye(3))), 'zarvo:badSize', 'Argument 13 (Tfor) must be a 4 x 4');
  zt_expect_error(@() call(bad(14, eye(5))), 'zarvo:badSize', 'Argument 14 (Tinv)');
  zt_expect_error(@() call(bad(15, eye(3))), 'zarvo:badSize', 'Argument 15 (Tfor3)');
  zt_expect_error(@() call(bad(16, eye(4, 3))), 'zarvo:badSize', 'Argument 16 (Tinv3)');
  zt_expect_error(@() call(bad(17, eye(4))), 'zarvo:notCell', 'Argument 17 (Tfor_group)');

  G = good{17};
  G{8} = [];
  zt_expect_error(@() call(bad(17, G)), 'zarvo:missingGroupMatrix', 'real 8 x 8 double matrix');
  G = good{18};
  G{4} = single(G{4});
  zt_expect_error(@() call(bad(18, G)), 'zarvo:missingGroupMatrix', 'Argument 18 (Tinv_group)');
  zt_expect_error(@() call(bad(18, good{18}(1:8))), 'zarvo:missingGroupMatrix', 'element 16');

  % What the plug-in accepts: a scalar argument given as an array counts by
  % its first element; only power-of-two group matrices are looked at.
  assert(isequal(call(bad(6, [2.7 99])), call(good)));
  G = good{17};
  G{3} = 'anything';
  y = call(bad(17, G));
  assert(isequal(size(y), size(X)));
  % Nstep 0 or negative visits every position; a NaN or negative sigma
  % leaves adaptive mode off.
  [~, s] = call(bad(2, -2));
  assert(all(s(:) == 0));
  [y, s] = call(bad(10, NaN));
  assert(all(s(:) == 0) && all(isfinite(y(:))));

  % Extreme integers within range are accepted and behave like their
  % nearest meaningful value (every position, the whole volume).
  y_all = call(bad(2, 1));
  assert(isequal(call(bad(2, -2147483648)), y_all), 'the smallest step visits every position');
  y_wide = call(bad(8, 100));
  assert(isequal(call(bad(8, 2147483647)), y_wide), 'the widest window is the whole volume');
  assert(isequal(call(bad(8, -2147483648)), call(bad(8, 0))), 'a negative half-width matches nothing');

  % The plug-in still works after all those refusals.
  y = call(good);
  assert(isequal(size(y), size(X)));
end

function [a, b, c] = three_outputs(args)
  [a, b, c] = zarvo_thr_mex(args{:});
end

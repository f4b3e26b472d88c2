function test_golden()
  % The plug-ins and the two-stage pipeline reproduce the committed reference
  % outputs bit for bit (tests/golden). A change that moves them must
  % regenerate them on purpose (make_golden) and say why.
  folder = fullfile(fileparts(mfilename('fullpath')), '..', 'golden');
  addpath(folder);
  cases = zt_golden_cases(folder);
  for c = 1:size(cases, 1)
    name = cases{c, 1};
    got = cases{c, 2}();
    f = fopen(fullfile(folder, [name '.f64']), 'r', 'ieee-le');
    want = fread(f, Inf, 'double');
    fclose(f);
    assert(numel(got) == numel(want), sprintf('%s: %d values, the reference has %d', name, numel(got), numel(want)));
    diff = max(abs(got(:) - want(:)));
    assert(isequal(got(:), want), sprintf('%s: differs from the reference by up to %g', name, diff));
    printf('%s: identical\n', name);
  end
end

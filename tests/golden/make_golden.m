function make_golden(folder)
  % Writes the reference outputs of zt_golden_cases into `folder` (run once,
  % deliberately, when an arithmetic change is meant to move them). The noisy
  % inputs are written first when missing.
  if ~exist(fullfile(folder, 'input_gaussian.f64'), 'file')
    [i, j, k] = ndgrid(linspace(-1, 1, 20), linspace(-1, 1, 16), linspace(-1, 1, 10));
    clean = 0.3 + 0.5 * (i.^2 / 0.5 + j.^2 / 0.4 + k.^2 / 0.7 < 1) + 0.1 * sin(3 * i) .* cos(2 * j);
    randn('seed', 11);
    noise = 0.06 * randn([size(clean) 3]);
    write_f64(fullfile(folder, 'input_gaussian.f64'), clean + noise(:, :, :, 1));
    write_f64(fullfile(folder, 'input_rician.f64'), ...
              sqrt((clean + noise(:, :, :, 2)).^2 + noise(:, :, :, 3).^2));
  end
  cases = zt_golden_cases(folder);  % the first stages come first: the second read them
  for c = 1:size(cases, 1)
    write_f64(fullfile(folder, [cases{c, 1} '.f64']), cases{c, 2}());
  end
end

function write_f64(file, Y)
  f = fopen(file, 'w', 'ieee-le');
  fwrite(f, Y(:), 'double');
  fclose(f);
end

function test_mex_help()
  % `help NAME` of every plug-in, as a user reads it: documented (not "not
  % documented"), every argument of the usage line explained, outputs and an
  % example; the MEX file is still what runs; and the example, run as
  % printed, removes most of the noise.
  names = {'zarvo_thr_mex', 'zarvo_wie_mex', 'zarvo_thr_rice_mex', 'zarvo_wie_rice_mex'};
  for n = 1:numel(names)
    name = names{n};
    text = evalc(['help ' name]);
    assert(isempty(strfind(text, 'not documented')), '%s: not documented', name);
    [~, ~, ext] = fileparts(which(name));
    assert(strcmp(ext, '.mex'), '%s: the help file shadows the MEX file (%s)', name, which(name));

    % Every argument of the usage line has its own line under Arguments.
    usage = regexp(text, ['= ' name '\(([^)]*)\)'], 'tokens', 'once');
    assert(~isempty(usage), '%s: no usage line', name);
    args = regexp(strrep(usage{1}, '...', ''), '\w+', 'match');
    assert(numel(args) >= 16, '%s: usage lists %d arguments', name, numel(args));
    for a = 1:numel(args)
      assert(~isempty(regexp(text, ['\n\s+(\w+,\s*)*' args{a} '[\s,]'], 'once')), ...
             '%s: argument %s not explained', name, args{a});
    end
    for section = {'Arguments', 'Outputs', 'y_hat', 'sigma_hat', 'threads', 'Example'}
      assert(~isempty(strfind(text, section{1})), '%s: no %s', name, section{1});
    end

    % The example: the indented lines after "Example", up to the blank line.
    lines = strsplit(text, "\n", "CollapseDelimiters", false);
    first = find(~cellfun(@isempty, strfind(lines, 'Example')), 1);
    code = {};
    for i = first + 1:numel(lines)
      if isempty(strtrim(lines{i}))
        if isempty(code), continue; else, break; end
      end
      if ~isempty(code) || ~isempty(regexp(lines{i}, '^\s+\w+\s*=|^\s+n = ', 'once'))
        code{end + 1} = lines{i};
      end
    end
    assert(numel(code) >= 6, '%s: example too short', name);
    randn('seed', n);
    printed = evalc(strjoin(code, "\n"));
    v = sscanf(printed, 'noise %f, left %f');
    assert(numel(v) == 2, '%s: the example printed "%s"', name, printed);
    assert(v(2) < v(1) / 2, '%s: the example kept %.2f of noise %.2f', name, v(2), v(1));
  end
end

function out = zt_standalone(plugin, args)
  % Runs a plug-in on the stand-alone host (the zarvo_run program) with the
  % same arguments, and returns its outputs in a cell, or its error message
  % as a char array.
  runner = getenv('ZARVO_RUN');
  if isempty(runner)
    error('zt:noRunner', 'ZARVO_RUN is not set');
  end
  in_file = [tempname() '.zarv'];
  out_file = [tempname() '.zarv'];
  f = fopen(in_file, 'w', 'ieee-le');
  fwrite(f, 'ZARV', 'char');
  fwrite(f, numel(args), 'uint32');
  for i = 1:numel(args)
    write_one(f, args{i});
  end
  fclose(f);
  status = system(sprintf('"%s" %s "%s" "%s"', runner, plugin, in_file, out_file));
  delete(in_file);
  if status ~= 0
    error('zt:runner', 'zarvo_run failed with status %d', status);
  end
  f = fopen(out_file, 'r', 'ieee-le');
  magic = char(fread(f, 4, 'char')');
  if strcmp(magic, 'ZERR')
    out = char(fread(f, Inf, 'char')');
  else
    n = fread(f, 1, 'uint32');
    out = cell(1, n);
    for i = 1:n
      fread(f, 1, 'uint8');
      nd = fread(f, 1, 'uint32');
      dims = fread(f, nd, 'uint64')';
      out{i} = reshape(fread(f, prod(dims), 'double'), [dims 1]);
    end
  end
  fclose(f);
  delete(out_file);
end

function write_one(f, a)
  fwrite(f, iscell(a), 'uint8');
  fwrite(f, ndims(a), 'uint32');
  fwrite(f, size(a), 'uint64');
  if iscell(a)
    for i = 1:numel(a)
      write_one(f, a{i});
    end
  else
    fwrite(f, double(a), 'double');
  end
end

function zt_expect_error(f, id, fragment)
  % Calls f() and fails unless it raises an error with identifier id (when
  % id is not empty) whose message contains fragment.
  try
    f();
  catch err
    if ~isempty(id) && ~strcmp(err.identifier, id)
      error('zt:wrongError', 'expected error id %s, got %s (%s)', id, err.identifier, err.message);
    end
    if ~isempty(strfind(err.message, fragment))
      return;
    end
    error('zt:wrongError', 'expected a message with "%s", got "%s"', fragment, err.message);
  end
  error('zt:noError', 'expected an error with "%s", but the call succeeded', fragment);
end

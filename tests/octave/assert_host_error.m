function assert_host_error (fcn, args, id, message)
  %ASSERT_HOST_ERROR  Call FCN(ARGS{:}) and require a host error with exactly
  %   the identifier ID and, once Octave's "FCN: " prefix is removed, exactly
  %   the text MESSAGE.
  try
    unused = fcn (args{:});
  catch err
    name = func2str (fcn);
    text = regexprep (err.message, ['^' name ': '], '', 'once');
    assert (err.identifier, id);
    assert (text, message);
    return;
  end
  error ('assert_host_error: %s raised no error (expected %s)', func2str (fcn), id);
end

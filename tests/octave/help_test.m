% help NAME in Octave, with the compiled module and its help file side by
% side: the text must be the help file's, show the calling form, and name
% every error identifier that the module's source can raise.
%   octave-cli --norc --no-history help_test.m MEX_DIR SOURCE_ROOT
args = argv ();
addpath (args{1});
root = args{2};
% name, calling form shown by help
cases = {
  'groupshrinkmt', 'OUT = GROUPSHRINKMT(Y, DEGREE, GAMMA, NX, NY)'
  'obsexpscale',   'OUT = OBSEXPSCALE(Y, VAR, MEAN, ALPHA)'
  'termdecay',     'OUT = TERMDECAY(Y, VAR, MEAN, ALPHA, MARGIN)'
  'slopemapmt',    'OUT = SLOPEMAPMT(X, Y, EXP_TABLE_Y, EXP_TABLE_N, VAR, MEAN, ALPHA, U)'
  'pglikmt',       '[GRAD, NLL, DNLL] = PGLIKMT(X, Y, VAR, MEAN, ALPHA)'
  'pgproxmt',      'X = PGPROXMT(V, Y, GAMMA, VAR, MEAN, ALPHA)'
};
failures = 0;
for k = 1:rows (cases)
  name = cases{k, 1};
  if (exist (name) != 3)
    printf ('FAIL %s: no compiled module on the path\n', name);
    failures++;
    continue;
  end
  text = evalc (sprintf ('help %s', name));
  source = fileread (fullfile (root, name, [name '.cpp']));
  tokens = regexp (source, '"((?:MATLAB|pgmex):\w+:\w+)"', 'tokens');
  ids = unique (cellfun (@(t) t{1}, tokens, 'UniformOutput', false));
  expected = [cases(k, 2), ids];
  if (numel (ids) < 5)
    printf ('FAIL %s: found only %d identifiers in its source\n', name, numel (ids));
    failures++;
  end
  for e = expected
    if (isempty (strfind (text, e{1})))
      printf ('FAIL %s: help does not show "%s"\n', name, e{1});
      failures++;
    end
  end
  printf ('%s: help shows its calling form and %d identifiers\n', name, numel (ids));
end
exit (failures > 0);

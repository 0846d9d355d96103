% build_mex from inside Octave: every module into a fresh folder that
% does not exist yet, each beside its help file, the caller's CXXFLAGS left
% as they were, and every module, once on the path, answering a call whose
% result is worked out here by other means.
%   octave-cli --norc --no-history build_mex_test.m SOURCE_ROOT
args = argv ();
addpath (args{1});
outdir = fullfile (tempname (), 'nested');
failures = {};
% The folder goes whatever happens, a failed build or call included.
unwind_protect
  setenv ('CXXFLAGS', '-DCALLER_FLAGS');
  built = build_mex (outdir);
  if (! strcmp (getenv ('CXXFLAGS'), '-DCALLER_FLAGS'))
    failures{end+1} = sprintf ('CXXFLAGS left as "%s"', getenv ('CXXFLAGS'));
  end
  addpath (outdir);
  % name, call, expected result (no space before parentheses inside the
  % table, where it would split an entry in two)
  cases = {
    'groupshrinkmt', @() groupshrinkmt([3 4 0 0 1 -1 -5], [2 2 2 1], 2.5, [], []), ...
                     [1.5; 2; 0; 0; 0; -0; -2.5]
    'obsexpscale',   @() obsexpscale([1 2 3], 2, 1, 1), exp([0 0.5 1])
    'termdecay',     @() termdecay([0.5 2 NaN -1], 1, 0, 1, 2.5), [0 exp(-(1:5))]
    'slopemapmt',    @() slopemapmt([1 0 -1], [1; 0; 0], [], [], 0, 0, 1, []), ...
                     [1 - exp(-0.5); 1; -Inf]
    'pglikmt',       @() pglikmt([0 0], [1; 3], 1, 0, 1), 1 - exp([0.5 2.5])
    'pgproxmt',      @() pgproxmt([-1 -2], [0; 0], 1, 1, 0, 1), [0 0]
  };
  for k = 1:rows (cases)
    name = cases{k, 1};
    where = which (name);
    if (! strcmp (where, fullfile (outdir, [name '.mex'])) || ! any (strcmp (built, where)))
      failures{end+1} = sprintf ('%s resolves to "%s"', name, where);
      continue;
    end
    if (! exist (fullfile (outdir, [name '.m']), 'file'))
      failures{end+1} = sprintf ('%s: no help file beside the module', name);
    end
    actual = cases{k, 2} ();
    expected = cases{k, 3};
    close = actual(:) == expected(:) | abs (actual(:) - expected(:)) <= 1e-15 * abs (expected(:));
    if (! isequal (size (actual), size (expected)) || ! all (close))
      failures{end+1} = sprintf ('%s: got %s, expected %s', name, mat2str (actual), mat2str (expected));
    end
  end
unwind_protect_cleanup
  confirm_recursive_rmdir (false);
  if (exist (fileparts (outdir), 'dir'))
    rmdir (fileparts (outdir), 's');
  end
end_unwind_protect
for k = 1:numel (failures)
  printf ('FAIL %s\n', failures{k});
end
printf ('build_mex: %d of %d modules built and checked\n', rows (cases) - numel (failures), rows (cases));
exit (! isempty (failures));

% The Octave package, installed with pkg into WORKDIR alone (prefixes and
% package lists there, so the user's and the system's Octave are untouched),
% then loaded in this fresh session: every function answers from the
% package's own folders, help finds its text, and the demo restores a small
% scene.
%   octave-cli --norc --no-history package_test.m TARBALL WORKDIR
args = argv ();
tarball = args{1};
work = args{2};
prefix = fullfile (work, 'prefix');
pkg ('prefix', prefix, prefix);
pkg ('local_list', fullfile (work, 'local_packages'));
pkg ('global_list', fullfile (work, 'global_packages'));
pkg ('install', tarball);
pkg ('load', 'pgmex');

failures = {};
installed = pkg ('list', 'pgmex');
if (numel (installed) != 1 || ! strncmp (installed{1}.dir, prefix, numel (prefix)))
  failures{end+1} = 'pgmex is not listed as installed under the temporary prefix';
end

% name, call, expected result (no space before parentheses inside the
% table, where it would split an entry in two)
cases = {
  'groupshrinkmt', @() groupshrinkmt([3 4 0 0 1 -1 -5]', [2 2 2 1], 2.5, [], []), ...
                   [1.5; 2; 0; 0; 0; -0; -2.5]
  'obsexpscale',   @() obsexpscale([1; 2; 3], 2, 1, 1), exp([0 0.5 1])
  'termdecay',     @() termdecay(3, 4, 1, 0.5, 3), [0 exp(-(1:16) * 0.0625)]
  'slopemapmt',    @() slopemapmt([1 1 0], [0 1 0], [], [], 0.5, 7, 9, []), ...
                   [1 - exp(-1); 1 - exp(-1/3); 1 - exp(-1)]
  'pglikmt',       @() pglikmt([0; 0], [1 -1], 1, 0, 1), 1 - exp([0.5; -1.5])
  'pgproxmt',      @() pgproxmt([-1; -2], [0 0], 1, 1, 0, 1), [0; 0]
};
for k = 1:rows (cases)
  name = cases{k, 1};
  where = which (name);
  if (! strncmp (where, prefix, numel (prefix)) || ! strcmp (where(end-3:end), '.mex'))
    failures{end+1} = sprintf ('%s resolves to "%s", not to a module of the package', name, where);
    continue;
  end
  actual = cases{k, 2} ();
  expected = cases{k, 3};
  close = actual(:) == expected(:) | abs (actual(:) - expected(:)) <= 1e-15 * abs (expected(:));
  if (! isequal (size (actual), size (expected)) || ! all (close))
    failures{end+1} = sprintf ('%s: got %s, expected %s', name, mat2str (actual), mat2str (expected));
  end
  text = evalc (sprintf ('help %s', name));
  if (isempty (strfind (text, [' = ' upper(name) '('])))
    failures{end+1} = sprintf ('help %s does not show its calling form', name);
  end
end

% A smaller scene than the demo's own, still clearing its 6 dB target by more
% than a decibel in both regimes.
options = struct ('size', 80, 'iterations', 60, 'quiet', true);
pictures = fullfile (work, 'demo');
result = restore_demo (pictures, options);
for g = result.regimes
  if (! (g.psnrExact >= g.psnrNoisy + 6 && g.psnrApprox >= g.psnrNoisy + 6))
    failures{end+1} = sprintf ('restore_demo, %s, gained too little: noisy %.2f, exact %.2f, approx %.2f dB', ...
                              g.name, g.psnrNoisy, g.psnrExact, g.psnrApprox);
  end
end
picture = imread (result.picture);
if (! isequal (size (picture), [2 * 80 + 4, 4 * 80 + 3 * 4]))
  failures{end+1} = sprintf ('restore_demo picture is %s', mat2str (size (picture)));
end

pkg ('unload', 'pgmex');
if (! isempty (strfind (path (), prefix)))
  failures{end+1} = 'a folder of the package is still on the path after pkg unload';
end

for k = 1:numel (failures)
  printf ('FAIL %s\n', failures{k});
end
printf ('package: %d checks failed\n', numel (failures));
exit (! isempty (failures));

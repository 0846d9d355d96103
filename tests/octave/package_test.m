% The Octave package, installed with pkg into WORKDIR alone (prefixes and
% package lists there, so the user's and the system's Octave are untouched),
% then loaded in this fresh session: every module and function of
% toolbox.txt answers from the package's own folders and is named by its
% INDEX, help finds its text, each module gives the result of a call worked
% out here by other means, and the demo restores a small scene.
%   octave-cli --norc --no-history package_test.m TARBALL WORKDIR SOURCE_ROOT
args = argv();
tarball = args{1};
work = args{2};
root = args{3};
addpath(fileparts(mfilename('fullpath')));
modules = listed(root, 'module');
functions = listed(root, 'function');
prefix = fullfile(work, 'prefix');
pkg('prefix', prefix, prefix);
pkg('local_list', fullfile(work, 'local_packages'));
pkg('global_list', fullfile(work, 'global_packages'));
pkg('install', tarball);
pkg('load', 'pgmex');

failures = {};
installed = pkg('list', 'pgmex');
if numel(installed) ~= 1 || ~strncmp(installed{1}.dir, prefix, numel(prefix))
    failures{end + 1} = 'pgmex is not listed as installed under the temporary prefix';
end
description = pkg('describe', 'pgmex');
indexed = {};
for k = 1:numel(description{1}.provides)
    indexed = [indexed, description{1}.provides{k}.functions]; %#ok<AGROW>
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
    'tvpdstep',      @() tvpdstep([1; 3], [0; 0], [0 0], [0 0], [0; 0], [], [], [], [], [], ...
                                  [], [1 1 0 0.5], 1, [0 0]), [0.5; 1.5]
    'shiftproxmt',   @() shiftproxmt([1; -1], [2 0], 1, 0), [sqrt(2); 0]
    'datapdstep',    @() datapdstep([0; -2], [1 0], [3 0], 1, [0 0], 1, 0, 1), [-1; -2]
};
names = [modules, functions];
compiled = [true(size(modules)), false(size(functions))];
for k = 1:numel(names)
    name = names{k};
    suffix = '.m';
    if compiled(k)
        suffix = '.mex';
    end
    where = which(name);
    [~, ~, ext] = fileparts(where);
    if ~strncmp(where, prefix, numel(prefix)) || ~strcmp(ext, suffix)
        failures{end + 1} = sprintf('%s resolves to "%s", not to a %s file of the package', ...
                                    name, where, suffix);
        continue;
    end
    if ~any(strcmp(indexed, name))
        failures{end + 1} = sprintf('the package''s INDEX does not name %s', name);
    end
    helpfile = fileread(fullfile(root, name, [name '.m']));
    first = regexp(helpfile, '^\s*%+\s*([^\n]*\S)', 'tokens', 'once', 'lineanchors');
    text = evalc(sprintf('help %s', name));
    if isempty(first) || isempty(strfind(text, first{1}))
        failures{end + 1} = sprintf('help %s does not show the first line of its help file', name);
    end
    if ~compiled(k)
        continue;
    end
    if isempty(strfind(text, [' = ' upper(name) '(']))
        failures{end + 1} = sprintf('help %s does not show its calling form', name);
    end
    row = find(strcmp(cases(:, 1), name));
    if isempty(row)
        failures{end + 1} = sprintf('%s: no call to check it with in this test', name);
        continue;
    end
    actual = cases{row, 2}();
    expected = cases{row, 3};
    close = actual(:) == expected(:) | abs(actual(:) - expected(:)) <= 1e-15 * abs(expected(:));
    if ~isequal(size(actual), size(expected)) || ~all(close)
        failures{end + 1} = sprintf('%s: got %s, expected %s', name, mat2str(actual), ...
                                    mat2str(expected));
    end
end

% A smaller scene than the demo's own, with the photograph shipped beside it:
% each restoration clears the observed image by 6 dB or more. (The Gaussian
% likelihood's slower solves are left to the demo itself.)
options = struct('size', 48, 'likelihoods', {{'exact', 'shifted'}}, 'quiet', true);
pictures = fullfile(work, 'demo');
result = restore_demo(pictures, options);
for g = result.rows
    if ~(g.psnr >= result.psnrObserved + 6)
        failures{end + 1} = sprintf('restore_demo, %s, gained too little: observed %.2f, restored %.2f dB', ...
                                    g.likelihood, result.psnrObserved, g.psnr);
    end
end
picture = imread(result.picture);
if ~isequal(size(picture), [42, 4 * 42 + 3 * 4])
    failures{end + 1} = sprintf('restore_demo picture is %s', mat2str(size(picture)));
end

pkg('unload', 'pgmex');
if ~isempty(strfind(path(), prefix))
    failures{end + 1} = 'a folder of the package is still on the path after pkg unload';
end

for k = 1:numel(failures)
    fprintf('FAIL %s\n', failures{k});
end
fprintf('package: %d checks failed\n', numel(failures));
exit(~isempty(failures));

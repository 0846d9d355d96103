% build_mex from inside Octave: every module and function of toolbox.txt
% into a fresh folder that does not exist yet, each module beside its help
% file, quietly unless 'Display' asks, the caller's CXXFLAGS left as they
% were, and every module, once on the path, answering a call whose result is
% worked out here by other means. Bad inputs are refused before any folder
% is made.
%   octave-cli --norc --no-history build_mex_test.m SOURCE_ROOT
args = argv();
root = args{1};
addpath(root);
addpath(fileparts(mfilename('fullpath')));
modules = listed(root, 'module');
functions = listed(root, 'function');
base = tempname();
outdir = fullfile(base, 'nested');
failures = {};

% inputs, identifier, what the message must name
refusals = {
    {3},                            'pgmex:build_mex:invalidOutdir',  'OUTDIR'
    {['ab'; 'cd']},                 'pgmex:build_mex:invalidOutdir',  'OUTDIR'
    {outdir, 'Display'},            'pgmex:build_mex:invalidOption',  'value'
    {outdir, 'Verbose', 'on'},      'pgmex:build_mex:invalidOption',  'Verbose'
    {outdir, 7, 'on'},              'pgmex:build_mex:invalidOption',  'option name 1'
    {outdir, 'Display', 'loud'},    'pgmex:build_mex:invalidDisplay', 'Display'
    {outdir, 'Display', true},      'pgmex:build_mex:invalidDisplay', 'Display'
};
for k = 1:size(refusals, 1)
    what = sprintf('build_mex refusal %d', k);
    try
        build_mex(refusals{k, 1}{:});
        failures{end + 1} = sprintf('%s: no error', what);
    catch err
        if ~strcmp(err.identifier, refusals{k, 2}) || isempty(strfind(err.message, refusals{k, 3}))
            failures{end + 1} = sprintf('%s: %s "%s"', what, err.identifier, err.message);
        end
    end
    if exist(base, 'dir')
        failures{end + 1} = sprintf('%s: made %s before refusing', what, base);
        break;
    end
end

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
    'tvpdstep',      @() tvpdstep([1 3], [0 0], [0 0], [0 0], [0 0], [], [], [], [], [], [], ...
                                  [1 1 0 0.5], 1, [0 0]), [0.5 1.5]
    'shiftproxmt',   @() shiftproxmt([1 -1], [2; 0], 1, 0), [sqrt(2) 0]
    'datapdstep',    @() datapdstep([2 2], [0.5 0], [2 0], 1, [4 0], 0), [-1 1]
};
% The folder goes whatever happens, a failed build or call included.
try
    setenv('CXXFLAGS', '-DCALLER_FLAGS');
    said = evalc('built = build_mex(outdir);');
    if ~isempty(said)
        failures{end + 1} = sprintf('build_mex said "%s" without being asked', said);
    end
    if ~strcmp(getenv('CXXFLAGS'), '-DCALLER_FLAGS')
        failures{end + 1} = sprintf('CXXFLAGS left as "%s"', getenv('CXXFLAGS'));
    end
    if numel(built) ~= numel(modules)
        failures{end + 1} = sprintf('%d modules built, %d listed', numel(built), numel(modules));
    end
    addpath(outdir);
    for k = 1:numel(modules)
        name = modules{k};
        where = which(name);
        if ~strcmp(where, fullfile(outdir, [name '.mex'])) || ~any(strcmp(built, where))
            failures{end + 1} = sprintf('%s resolves to "%s"', name, where);
            continue;
        end
        if ~exist(fullfile(outdir, [name '.m']), 'file')
            failures{end + 1} = sprintf('%s: no help file beside the module', name);
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
    for k = 1:numel(functions)
        name = functions{k};
        where = which(name);
        if ~strcmp(where, fullfile(outdir, [name '.m']))
            failures{end + 1} = sprintf('%s resolves to "%s"', name, where);
        end
    end
    said = evalc('build_mex(outdir, ''Display'', ''on'');');
    for k = 1:numel(built)
        if isempty(strfind(said, built{k}))
            failures{end + 1} = sprintf('build_mex with ''Display'' ''on'' did not name %s', ...
                                        built{k});
        end
    end
catch err
    failures{end + 1} = sprintf('%s: %s', err.identifier, err.message);
end
confirm_recursive_rmdir(false);
if exist(base, 'dir')
    rmdir(base, 's');
end
for k = 1:numel(failures)
    fprintf('FAIL %s\n', failures{k});
end
fprintf('build_mex: %d modules and %d functions listed, %d checks failed\n', numel(modules), ...
        numel(functions), numel(failures));
exit(~isempty(failures));

% help NAME in Octave for every module and function of toolbox.txt, each
% compiled module or function file side by side with its help file in
% MEX_DIR: the text must be the help file's (its first line shown), and a
% module's must show its calling form and name every error identifier that
% the module's source can raise.
%   octave-cli --norc --no-history help_test.m MEX_DIR SOURCE_ROOT
args = argv();
% which() answers with absolute paths.
here = cd(args{1});
mexdir = pwd;
cd(here);
root = args{2};
addpath(mexdir);
addpath(fileparts(mfilename('fullpath')));
modules = listed(root, 'module');
functions = listed(root, 'function');
failures = {};
if isempty(modules)
    failures{end + 1} = 'toolbox.txt lists no module';
end
% name, whether compiled, the file that must answer for it
names = [modules, functions];
compiled = [true(size(modules)), false(size(functions))];
for k = 1:numel(names)
    name = names{k};
    suffix = '.m';
    if compiled(k)
        suffix = '.mex';
    end
    where = which(name);
    if ~strcmp(where, fullfile(mexdir, [name suffix]))
        failures{end + 1} = sprintf('%s resolves to "%s", not to %s in %s', name, where, ...
                                    suffix, mexdir);
        continue;
    end
    helpfile = fileread(fullfile(root, name, [name '.m']));
    first = regexp(helpfile, '^\s*%+\s*([^\n]*\S)', 'tokens', 'once', 'lineanchors');
    text = evalc(sprintf('help %s', name));
    expected = first;
    if compiled(k)
        source = fileread(fullfile(root, name, [name '.cpp']));
        tokens = regexp(source, '"((?:MATLAB|pgmex):\w+:\w+)"', 'tokens');
        ids = unique(cellfun(@(t) t{1}, tokens, 'UniformOutput', false));
        if numel(ids) < 5
            failures{end + 1} = sprintf('%s: found only %d identifiers in its source', name, ...
                                        numel(ids));
        end
        expected = [expected, {[' = ' upper(name) '(']}, ids];
    end
    for e = expected
        if isempty(strfind(text, e{1}))
            failures{end + 1} = sprintf('help %s does not show "%s"', name, e{1});
        end
    end
    fprintf('%s: help shows its first line and %d more texts\n', name, numel(expected) - 1);
end
for k = 1:numel(failures)
    fprintf('FAIL %s\n', failures{k});
end
exit(~isempty(failures));

function built = build_mex(outdir, varargin)
%BUILD_MEX  Compile the toolbox's modules from inside Octave or MATLAB.
%   BUILD_MEX(OUTDIR) compiles every module of toolbox.txt (the list beside
%   this file) from the sources beside this file into OUTDIR (created if
%   missing; default: the current folder), and copies each module's help
%   file and each plain M-code function of the list next to them, so that
%   OUTDIR is ready for addpath. In Octave it calls mkoctfile --mex and gives
%   NAME.mex; in MATLAB it calls mex -compatibleArrayDims and gives
%   NAME.mexa64 (or the platform's suffix).
%
%   BUILD_MEX(OUTDIR, 'Display', 'on') names each module as it is built;
%   the default, 'off', builds quietly.
%
%   BUILT = BUILD_MEX(...) returns the paths of the compiled modules.
%
%   The flags are the list's: they keep results bit-identical to every
%   other build, with no contraction of a*b+c into fused multiply-add and
%   no fast-math.
%
%   Errors (identifier: cause):
%     pgmex:build_mex:invalidOutdir    OUTDIR not a folder name
%     pgmex:build_mex:invalidOption    an option name that is not 'Display',
%                                      or a name without its value
%     pgmex:build_mex:invalidDisplay   'Display' not 'on' or 'off'
%     pgmex:build_mex:invalidList      an entry of toolbox.txt unreadable
%     pgmex:build_mex:compileFailed    mkoctfile failed for a module

if nargin < 1 || isempty(outdir)
    outdir = pwd;
end
if isa(outdir, 'string') && numel(outdir) == 1
    outdir = char(outdir);
end
if ~ischar(outdir) || size(outdir, 1) ~= 1
    error('pgmex:build_mex:invalidOutdir', ...
          'build_mex: OUTDIR must be a folder name, as a character vector');
end
displayMode = 'off';
if mod(numel(varargin), 2) ~= 0
    error('pgmex:build_mex:invalidOption', ...
          'build_mex: options come as name-value pairs; one name has no value');
end
for k = 1:2:numel(varargin)
    option = varargin{k};
    value = varargin{k + 1};
    if isa(option, 'string') && numel(option) == 1
        option = char(option);
    end
    if ~ischar(option) || size(option, 1) ~= 1
        error('pgmex:build_mex:invalidOption', ...
              'build_mex: option name %d is not a character vector', (k + 1) / 2);
    end
    if ~strcmpi(option, 'Display')
        error('pgmex:build_mex:invalidOption', ...
              'build_mex: ''%s'' is not an option; the only one is ''Display''', option);
    end
    if isa(value, 'string') && numel(value) == 1
        value = char(value);
    end
    if ~ischar(value) || ~any(strcmpi(value, {'on', 'off'}))
        error('pgmex:build_mex:invalidDisplay', ...
              'build_mex: ''Display'' must be ''on'' or ''off''');
    end
    displayMode = lower(value);
end

root = fileparts(mfilename('fullpath'));
list = readList(fullfile(root, 'toolbox.txt'));
if ~exist(outdir, 'dir')
    mkdir(outdir);
end
includes = strcat('-I', cellfun(@(folder) fullfile(root, folder), list.includes, ...
                                'UniformOutput', false));
flags = list.flags;
isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
built = cell(1, numel(list.modules));

if isOctave
    % mkoctfile takes CXXFLAGS from the environment; put the caller's back
    % afterwards, whatever happens.
    saved = getenv('CXXFLAGS');
    setenv('CXXFLAGS', flags);
    restore = onCleanup(@() setenv('CXXFLAGS', saved));
end
for k = 1:numel(list.modules)
    name = list.modules(k).name;
    sources = cellfun(@(file) fullfile(root, file), list.modules(k).sources, ...
                      'UniformOutput', false);
    if isOctave
        built{k} = fullfile(outdir, [name '.mex']);
        [output, status] = mkoctfile('--mex', includes{:}, sources{:}, '-o', built{k});
        if status ~= 0
            error('pgmex:build_mex:compileFailed', ...
                  'build_mex: mkoctfile failed for %s:\n%s', name, output);
        end
    else
        quiet = {};
        if strcmp(displayMode, 'off')
            quiet = {'-silent'};
        end
        mex(quiet{:}, '-compatibleArrayDims', includes{:}, ['CXXFLAGS=$CXXFLAGS ' flags], ...
            sources{:}, '-outdir', outdir);
        built{k} = fullfile(outdir, [name '.' mexext]);
    end
    copyfile(fullfile(root, name, [name '.m']), outdir);
    if strcmp(displayMode, 'on')
        fprintf('built %s\n', built{k});
    end
end
for k = 1:numel(list.functions)
    name = list.functions{k};
    copyfile(fullfile(root, name, [name '.m']), outdir);
end
end

function list = readList(file)
% The entries of toolbox.txt (its format is described at its top): modules with their
% sources, functions, include folders and flags. Narrower builds and warnings serve only
% the project's own builds.
text = fileread(file);
lines = regexp(text, '\n', 'split');
list = struct('modules', struct('name', {}, 'sources', {}), 'functions', {{}}, ...
              'includes', {{}}, 'flags', '');
for n = 1:numel(lines)
    line = strtrim(lines{n});
    if isempty(line) || line(1) == '#'
        continue;
    end
    words = regexp(line, '\s+', 'split');
    kind = words{1};
    words = words(2:end);
    if strcmp(kind, 'module') && ~isempty(words)
        sources = {[words{1} '/' words{1} '.cpp']};
        part = '';
        for w = 2:numel(words)
            if any(strcmp(words{w}, {'SOURCES', 'NARROWER'}))
                part = words{w};
            elseif strcmp(part, 'SOURCES')
                sources{end + 1} = words{w}; %#ok<AGROW>
            elseif ~strcmp(part, 'NARROWER')
                badEntry(file, n, line);
            end
        end
        if any(strcmp(words{1}, [{list.modules.name}, list.functions]))
            badEntry(file, n, line);
        end
        list.modules(end + 1) = struct('name', words{1}, 'sources', {sources});
    elseif strcmp(kind, 'function') && ~isempty(words)
        for w = 1:numel(words)
            if any(strcmp(words{w}, [{list.modules.name}, list.functions]))
                badEntry(file, n, line);
            end
            list.functions{end + 1} = words{w};
        end
    elseif strcmp(kind, 'include') && ~isempty(words)
        list.includes = [list.includes, words];
    elseif strcmp(kind, 'flags')
        list.flags = strtrim(sprintf('%s %s', list.flags, strjoin(words, ' ')));
    elseif ~strcmp(kind, 'warnings')
        badEntry(file, n, line);
    end
end
end

function badEntry(file, n, line)
error('pgmex:build_mex:invalidList', 'build_mex: %s, line %d: cannot read "%s"', file, n, line);
end

function built = build_mex(outdir)
%BUILD_MEX  Compile the five modules from inside Octave or MATLAB.
%   BUILD_MEX(OUTDIR) compiles groupshrinkmt, obsexpscale, termdecay,
%   slopemapmt, pglikmt and pgproxmt from the sources beside this file into OUTDIR (created if
%   missing; default: the current folder) and copies each module's help
%   file next to it, so that OUTDIR is ready for addpath. In Octave it calls
%   mkoctfile --mex and gives NAME.mex; in MATLAB it calls
%   mex -compatibleArrayDims and gives NAME.mexa64 (or the platform's suffix).
%
%   BUILT = BUILD_MEX(...) returns the paths of the compiled modules.
%
%   The flags keep results bit-identical to every other build: no
%   contraction of a*b+c into fused multiply-add, no fast-math.

if nargin < 1 || isempty(outdir)
    outdir = pwd;
end
if ~exist(outdir, 'dir')
    mkdir(outdir);
end
root = fileparts(mfilename('fullpath'));
includes = {['-I' fullfile(root, 'host')], ['-I' fullfile(root, 'lambertw')], ...
            ['-I' fullfile(root, 'pgkernel')]};
modules = {
    'groupshrinkmt', {}
    'obsexpscale',   {}
    'termdecay',     {fullfile(root, 'lambertw', 'LambertW.cpp')}
    'slopemapmt',    {}
    'pglikmt',       {}
    'pgproxmt',      {}
};
flags = '-O2 -ffp-contract=off -std=c++17';
isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
built = cell(1, size(modules, 1));

if isOctave
    % mkoctfile takes CXXFLAGS from the environment; put the caller's back
    % afterwards, whatever happens.
    saved = getenv('CXXFLAGS');
    setenv('CXXFLAGS', flags);
    restore = onCleanup(@() setenv('CXXFLAGS', saved));
end
for k = 1:size(modules, 1)
    name = modules{k, 1};
    sources = [{fullfile(root, name, [name '.cpp'])}, modules{k, 2}];
    if isOctave
        built{k} = fullfile(outdir, [name '.mex']);
        [output, status] = mkoctfile('--mex', includes{:}, sources{:}, '-o', built{k});
        if status ~= 0
            error('build_mex:failed', 'build_mex: mkoctfile failed for %s:\n%s', name, output);
        end
    else
        mex('-compatibleArrayDims', includes{:}, ['CXXFLAGS=$CXXFLAGS ' flags], ...
            sources{:}, '-outdir', outdir);
        built{k} = fullfile(outdir, [name '.' mexext]);
    end
    copyfile(fullfile(root, name, [name '.m']), outdir);
    fprintf('built %s\n', built{k});
end
end

function restore_quality(outdir, part, varargin)
%RESTORE_QUALITY  PGRESTORE's quality, convergence, speed and 3-D benchmarks.
%   RESTORE_QUALITY(OUTDIR) runs every part and writes OUTDIR/restoration.md.
%   RESTORE_QUALITY(OUTDIR, PART, Name, Value, ...) runs one part: 'quality'
%   (which is 'auto' and 'best'), 'bias' (the exact likelihood against the
%   shifted one in denoising, at their best LAMBDAs), 'convergence', 'speed',
%   '3d' or 'report' (the tables from what is in OUTDIR). Options: 'rows' (indices into the quality rows), 'likelihoods'
%   (a cell of names), 'draws' (noise draws, default [1 2]).
%
%   Each result is kept in OUTDIR/<part>_<row>_<likelihood>_<draw>.mat and a
%   result already there is not measured again, so runs can be split between
%   processes and resumed; 'report' gathers them.
%
%   Scenes: camera.png 2x2-averaged to 256x256, and the middle 256x256 of
%   cell.png, both from examples/images, scaled so that their brightest pixel
%   is PEAK photons. Blurred rows observe convn(x, PSF, 'valid'): y is smaller
%   than the scene by the PSF less one, as a camera sees a part of a larger
%   world, and pgrestore restores them with its default 'unknown' boundary;
%   PSNR is taken over y's pixels against the scene's middle.
%
%   The best LAMBDA in hindsight maximises the PSNR over log(LAMBDA):
%   bracketed from the automatic LAMBDA by factors of 1.4, then parabolic
%   steps until the bracket is within 15 %, each solve to the default
%   tolerance and warm-started from the nearest LAMBDA solved.
%
%   pgrestore, the compiled modules and PGPROXMT (compiled, or its M-code
%   stand-in in bench/reference) must be on the path.

if nargin < 2 || isempty(part)
    parts = {'quality', 'bias', 'convergence', 'speed', '3d', 'report'};
    for k = 1:numel(parts)
        restore_quality(outdir, parts{k}, varargin{:});
    end
    return;
end
opts = struct('rows', [], 'likelihoods', {{'exact', 'shifted', 'gaussian'}}, 'draws', [1 2]);
for k = 1:2:numel(varargin)
    opts.(varargin{k}) = varargin{k + 1};
end
if ~exist(outdir, 'dir')
    mkdir(outdir);
end
rows = qualityRows();
if isempty(opts.rows)
    opts.rows = 1:numel(rows);
end
switch part
    case {'auto', 'best', 'quality'}
        kinds = {'auto', 'best'};
        if ~strcmp(part, 'quality')
            kinds = {part};
        end
        for r = opts.rows
            for l = 1:numel(opts.likelihoods)
                for d = opts.draws
                    for kind = kinds
                        file = fullfile(outdir, sprintf('%s_%02d_%s_%d.mat', kind{1}, r, ...
                            opts.likelihoods{l}, d));
                        if exist(file, 'file')
                            continue;
                        end
                        if strcmp(kind{1}, 'auto')
                            result = autoCase(rows(r), opts.likelihoods{l}, d); %#ok<NASGU>
                        else
                            seed = fullfile(outdir, sprintf('auto_%02d_%s_%d.mat', r, ...
                                opts.likelihoods{l}, d));
                            start = [];
                            if exist(seed, 'file')
                                s = load(seed);
                                start = s.result.lambda;
                            end
                            result = bestCase(rows(r), opts.likelihoods{l}, d, start); %#ok<NASGU>
                        end
                        save('-mat', file, 'result');
                    end
                end
            end
        end
    case 'convergence'
        for r = opts.rows
            for l = 1:numel(opts.likelihoods)
                file = fullfile(outdir, sprintf('convergence_%02d_%s.mat', r, opts.likelihoods{l}));
                if ~exist(file, 'file')
                    result = convergenceCase(rows(r), outdir, r, opts.likelihoods{l}); %#ok<NASGU>
                    save('-mat', file, 'result');
                end
            end
        end
    case 'speed'
        for n = [256 1024]
            for blurred = [false true]
                for l = 1:numel(opts.likelihoods)
                    file = fullfile(outdir, sprintf('speed_%d_%d_%s.mat', n, blurred, opts.likelihoods{l}));
                    if ~exist(file, 'file')
                        result = speedCase(n, blurred, opts.likelihoods{l}); %#ok<NASGU>
                        save('-mat', file, 'result');
                    end
                end
            end
        end
    case 'bias'
        for r = intersect(opts.rows, [1 2 4 5])
            file = fullfile(outdir, sprintf('bias_%02d.mat', r));
            if ~exist(file, 'file')
                result = biasCase(rows(r), outdir, r); %#ok<NASGU>
                save('-mat', file, 'result');
            end
        end
    case '3d'
        file = fullfile(outdir, 'volume.mat');
        if ~exist(file, 'file')
            result = volumeCase(); %#ok<NASGU>
            save('-mat', file, 'result');
        end
    case 'report'
        report(outdir, rows);
    otherwise
        error('restore_quality: unknown part %s', part);
end
end

function rows = qualityRows()
box5 = ones(5) / 25;
[c, r] = meshgrid(-4:4);
gauss9 = exp(-(c .^ 2 + r .^ 2) / (2 * 1.5 ^ 2));
gauss9 = gauss9 / sum(gauss9(:));
% image, problem, peak, psf, alpha, mean, var (NaN: (peak/10)^2)
cases = {
    'camera', 'denoise',  1,  [],     1,   0,  NaN
    'camera', 'denoise',  5,  [],     1,   0,  NaN
    'camera', 'denoise',  30, [],     1,   0,  NaN
    'cell',   'denoise',  1,  [],     1,   0,  NaN
    'cell',   'denoise',  5,  [],     1,   0,  NaN
    'camera', '5x5 blur', 1,  box5,   1,   0,  NaN
    'cell',   '5x5 blur', 1,  box5,   1,   0,  NaN
    'cell',   '5x5 blur', 5,  box5,   1,   0,  NaN
    'camera', 'denoise',  5,  [],     2.5, 10, 16
    'cell',   '5x5 blur', 5,  box5,   2.5, 10, 16
    'camera', '9x9 Gaussian blur', 5, gauss9, 1, 0, NaN
};
rows = struct('image', cases(:, 1), 'problem', cases(:, 2), 'peak', cases(:, 3), ...
    'psf', cases(:, 4), 'alpha', cases(:, 5), 'mean', cases(:, 6), 'var', cases(:, 7));
for k = 1:numel(rows)
    if isnan(rows(k).var)
        rows(k).var = (rows(k).peak / 10) ^ 2;
    end
end
end

function scene = loadScene(name)
root = fileparts(fileparts(mfilename('fullpath')));
a = double(imread(fullfile(root, 'examples', 'images', [name '.png'])));
if size(a, 3) > 1
    a = mean(a, 3);
end
if strcmp(name, 'camera')
    scene = (a(1:2:end, 1:2:end) + a(2:2:end, 1:2:end) + a(1:2:end, 2:2:end) + ...
        a(2:2:end, 2:2:end)) / 4;
else
    r0 = floor((size(a, 1) - 256) / 2);
    c0 = floor((size(a, 2) - 256) / 2);
    scene = a(r0 + (1:256), c0 + (1:256));
end
end

function [y, truth, psfArgs] = observe(row, draw)
scene = loadScene(row.image);
scene = scene * (row.peak / max(scene(:)));
seedGenerators(1000 * draw + round(row.peak));
if isempty(row.psf)
    expected = scene;
    truth = scene;
    psfArgs = {};
else
    expected = convn(scene, row.psf, 'valid');
    reach = (size(row.psf) - 1) / 2;
    truth = scene(reach(1) + (1:size(expected, 1)), reach(2) + (1:size(expected, 2)));
    psfArgs = {'PSF', row.psf};
end
y = row.alpha * poissonSample(expected) + row.mean + sqrt(row.var) * randn(size(expected));
end

function result = autoCase(row, likelihood, draw)
[y, truth, psfArgs] = observe(row, draw);
started = tic;
[x, info] = pgrestore(y, row.alpha, row.mean, row.var, psfArgs{:}, 'Likelihood', likelihood);
result = struct('row', row, 'likelihood', likelihood, 'draw', draw, ...
    'psnr', psnr(x, truth, row.peak), 'lambda', info.lambda, 'seconds', toc(started), ...
    'iterations', info.iterations, 'tried', info.lambdas, ...
    'noisyPsnr', psnr((y - row.mean) / row.alpha, truth, row.peak));
fprintf('%s %s peak %g %s draw %d: auto lambda %.4g, PSNR %.2f dB, %.1f s\n', row.image, ...
    row.problem, row.peak, likelihood, draw, info.lambda, result.psnr, result.seconds);
end

function result = bestCase(row, likelihood, draw, start)
[y, truth, psfArgs] = observe(row, draw);
common = [{y, row.alpha, row.mean, row.var}, psfArgs, {'Likelihood', likelihood, ...
    'Tolerance', 1e-4}];
if isempty(start)
    start = 1.1 / sqrt(mean(max((y(:) - row.mean) / row.alpha, 0)) + row.var / row.alpha ^ 2);
end
% The best LAMBDA in hindsight.
trials = struct('lambdas', zeros(1, 0), 'values', zeros(1, 0), 'solutions', {{}});
trials = tryLambda(trials, start, common, truth, row.peak);
step = log(1.4);
for k = 1:12
    [order, idx] = sort(log(trials.lambdas));
    vals = trials.values(idx);
    [~, m] = max(vals);
    if numel(order) == 1
        t = order(1) + step;
    elseif m == numel(order)
        t = order(end) + step;
    elseif m == 1
        t = order(1) - step;
    else
        a = order(m - 1);
        b = order(m);
        c = order(m + 1);
        if c - a < log(1.15)
            break;
        end
        fa = vals(m - 1);
        fb = vals(m);
        fc = vals(m + 1);
        den = (b - a) * (fb - fc) - (b - c) * (fb - fa);
        t = b - ((b - a) ^ 2 * (fb - fc) - (b - c) ^ 2 * (fb - fa)) / (2 * den);
        if den == 0 || ~isfinite(t)
            t = (a + c) / 2;
        end
        if t <= b
            t = min(max(t, a + 0.15 * (b - a)), b - 0.15 * (b - a));
        else
            t = min(max(t, b + 0.15 * (c - b)), c - 0.15 * (c - b));
        end
    end
    trials = tryLambda(trials, exp(t), common, truth, row.peak);
end
lambdas = trials.lambdas;
values = trials.values;
[best, m] = max(values);
result = struct('row', row, 'likelihood', likelihood, 'draw', draw, 'psnr', best, ...
    'lambda', lambdas(m), 'curve', [lambdas; values]);
fprintf('%s %s peak %g %s draw %d: best lambda %.4g, PSNR %.2f dB (%d solves)\n', row.image, ...
    row.problem, row.peak, likelihood, draw, result.lambda, best, numel(lambdas));
end

function trials = tryLambda(trials, lambda, common, truth, peak)
init = {};
if ~isempty(trials.lambdas)
    [~, nearest] = min(abs(log(trials.lambdas) - log(lambda)));
    init = {'Init', trials.solutions{nearest}};
end
z = pgrestore(common{:}, 'Lambda', lambda, init{:});
trials.lambdas(end + 1) = lambda;
trials.values(end + 1) = psnr(z, truth, peak);
trials.solutions{end + 1} = z;
end

function result = biasCase(row, outdir, r)
% Exact against shifted at each one's best LAMBDA (draw 1): where the exact
% estimate loses its photons. For the exact likelihood, x_i (1 - grad_i) is
% E[n_i | y_i, x_i], and summing the optimality condition times x gives
%   sum(x) = sum(E[n | y, x]) - LAMBDA * TV(x)
% wherever x is off its bounds: TV takes LAMBDA*TV(x) photons from the total.
[y, truth, ~] = observe(row, 1);
result = struct('row', row);
dark = truth < 0.2 * row.peak;
for l = {'exact', 'shifted'}
    s = load(fullfile(outdir, sprintf('best_%02d_%s_1.mat', r, l{1})));
    lambda = s.result.lambda;
    [x, info] = pgrestore(y, row.alpha, row.mean, row.var, 'Likelihood', l{1}, 'Lambda', lambda);
    d = info.operators.D(x);
    tv = sum(sqrt(sum(d .^ 2, 1)));
    e = struct('lambda', lambda, 'psnr', psnr(x, truth, row.peak), ...
        'meanRatio', sum(x(:)) / sum(truth(:)), 'tvShare', lambda * tv / sum(truth(:)), ...
        'zeros', mean(x(:) == 0), 'zerosDark', mean(x(dark) == 0), ...
        'mseDark', sum((x(dark) - truth(dark)) .^ 2) / numel(x), ...
        'mseBright', sum((x(~dark) - truth(~dark)) .^ 2) / numel(x), ...
        'meanDark', mean(x(dark)) / mean(truth(dark)), ...
        'meanBright', mean(x(~dark)) / mean(truth(~dark)));
    if strcmp(l{1}, 'exact')
        g = pglikmt(x, y, row.var, row.mean, row.alpha);
        posterior = x .* (1 - g);
        e.identity = (sum(posterior(:)) - lambda * tv - sum(x(:))) / sum(x(:));
        restored = x + lambda * tv / numel(x);
        e.psnrMassRestored = psnr(restored, truth, row.peak);
    end
    result.(l{1}) = e;
end
fprintf('%s %s peak %g: exact %.2f dB (mean %.3f, %.0f %% zeros), shifted %.2f dB (mean %.3f)\n', ...
    row.image, row.problem, row.peak, result.exact.psnr, result.exact.meanRatio, ...
    100 * result.exact.zeros, result.shifted.psnr, result.shifted.meanRatio);
end

function result = convergenceCase(row, outdir, r, likelihood)
% The default tolerance's objective against 5000 iterations, both from the same
% start at the LAMBDA that 'auto' chose for this row (draw 1) when that result is
% at hand, so that the solves are not repeated.
[y, truth, psfArgs] = observe(row, 1);
common = [{y, row.alpha, row.mean, row.var}, psfArgs, {'Likelihood', likelihood}];
file = fullfile(outdir, sprintf('auto_%02d_%s_1.mat', r, likelihood));
if exist(file, 'file')
    s = load(file);
    lambda = s.result.lambda;
else
    [~, info] = pgrestore(common{:});
    lambda = info.lambda;
end
[x, info] = pgrestore(common{:}, 'Lambda', lambda);
[xLong, long] = pgrestore(common{:}, 'Lambda', lambda, 'MaxIterations', 5000, 'Tolerance', 0);
reference = long.objective(end);
result = struct('row', row, 'likelihood', likelihood, 'lambda', lambda, ...
    'objective', info.objective(end), 'reference', reference, ...
    'relative', (info.objective(end) - reference) / abs(reference), ...
    'perPixel', (info.objective(end) - reference) / numel(y), 'iterations', info.iterations, ...
    'seconds', info.seconds, 'start', long.objective(1), 'psnr', psnr(x, truth, row.peak), ...
    'psnrLong', psnr(xLong, truth, row.peak), 'change', norm(x(:) - xLong(:)) / norm(xLong(:)), ...
    'curve', [long.objectiveIterations; long.objective]);
fprintf('%s %s peak %g %s: objective %.10g after %d iterations, at 5000 %.10g: %.2e relative\n', ...
    row.image, row.problem, row.peak, likelihood, result.objective, result.iterations, ...
    reference, result.relative);
end

function result = speedCase(n, blurred, likelihood)
scene = loadScene('camera');
if n == 1024
    full = double(imread(fullfile(fileparts(fileparts(mfilename('fullpath'))), 'examples', ...
        'images', 'camera.png')));
    scene = kron(full, ones(2));
end
peak = 5;
scene = scene * (peak / max(scene(:)));
seedGenerators(7);
args = {};
lambda = 0.7;
expected = scene;
if blurred
    psf = ones(5) / 25;
    expected = convn(scene, psf, 'valid');
    args = {'PSF', psf};
    lambda = 0.4;
end
y = poissonSample(expected) + 0.5 * randn(size(expected));
% One short call first, so that the timed one pays for no first calls.
pgrestore(y, 1, 0, 0.25, args{:}, 'Lambda', lambda, 'Likelihood', likelihood, 'MaxIterations', 2);
[x, info] = pgrestore(y, 1, 0, 0.25, args{:}, 'Lambda', lambda, 'Likelihood', likelihood);
% pglikmt's gradient on as many elements, the unit of the compiled pgproxmt's
% promised cost (about five of them), best of five.
t = max(x, 0);
gradient = Inf;
for k = 1:5
    started = tic;
    pglikmt(t, y, 0.25, 0, 1);
    gradient = min(gradient, toc(started));
end
result = struct('n', n, 'blurred', blurred, 'likelihood', likelihood, 'seconds', info.seconds, ...
    'iterations', info.iterations, 'time', info.time, 'gradient', gradient);
fprintf('%dx%d %s %s: %.1f s, %d iterations, per iteration %.1f ms (fft %.1f, prox %.1f, tv %.1f, other %.1f)\n', ...
    n, n, ternary(blurred, '5x5 blur', 'denoise'), likelihood, info.seconds, info.iterations, ...
    1e3 * info.seconds / info.iterations, 1e3 * info.time.fft / info.iterations, ...
    1e3 * info.time.prox / info.iterations, 1e3 * info.time.tv / info.iterations, ...
    1e3 * info.time.other / info.iterations);
end

function result = volumeCase()
% The cell's middle, halved to 128x128, as the equator of a body that fades
% over 32 planes, on a dim background.
cell = loadScene('cell');
cell = (cell(1:2:end, 1:2:end) + cell(2:2:end, 1:2:end) + cell(1:2:end, 2:2:end) + ...
    cell(2:2:end, 2:2:end)) / 4;
cell = cell / max(cell(:));
profile = exp(-(((1:34) - 17.5) / 8) .^ 2);
peak = 5;
scene = 0.1 + 0.9 * repmat(cell, [1 1 34]) .* repmat(reshape(profile, 1, 1, []), [128 128 1]);
psf = zeros(3, 3, 3);
psf(:) = kron(kron([1 2 1], [1 2 1]), [1 2 1]);
scene = peak * scene;
scene = cat(1, scene(1, :, :), scene, scene(end, :, :));
scene = cat(2, scene(:, 1, :), scene, scene(:, end, :));
seedGenerators(9);
expected = convn(scene, psf / sum(psf(:)), 'valid');
truth = scene(2:end - 1, 2:end - 1, 2:end - 1);
y = poissonSample(expected) + 0.5 * randn(size(expected));
[x, info] = pgrestore(y, 1, 0, 0.25, 'PSF', psf);
result = struct('size', size(y), 'noisyPsnr', psnr(y, truth, peak), ...
    'psnr', psnr(x, truth, peak), 'lambda', info.lambda, 'seconds', info.seconds, ...
    'iterations', info.iterations, 'likelihood', info.likelihood, 'tried', info.lambdas);
fprintf('3-D %dx%dx%d, 3x3x3 PSF: PSNR %.2f dB (observed %.2f), lambda %.4g, %.1f s\n', ...
    size(y), result.psnr, result.noisyPsnr, info.lambda, info.seconds);
end

function report(outdir, rows)
fid = fopen(fullfile(outdir, 'restoration.md'), 'w');
closer = onCleanup(@() fclose(fid));
out = @(varargin) fprintf(fid, varargin{:});
[~, machine] = system('uname -srm');
out('Measured %s on %s\n\n', datestr(now, 'yyyy-mm-dd'), strtrim(machine));
liks = {'exact', 'shifted', 'gaussian'};
out('| image | problem | peak | alpha, mean, var | noisy |');
for l = 1:3
    out(' %s auto | %s best |', liks{l}, liks{l});
end
out('\n|---|---|---|---|---|');
for l = 1:3
    out('---|---|');
end
out('\n');
for r = 1:numel(rows)
    row = rows(r);
    cells = cell(1, 3);
    noisy = '';
    for l = 1:3
        auto = gather(outdir, sprintf('auto_%02d_%s_*.mat', r, liks{l}));
        best = gather(outdir, sprintf('best_%02d_%s_*.mat', r, liks{l}));
        files = dir(fullfile(outdir, sprintf('auto_%02d_*.mat', r)));
        if ~isempty(files)
            s = load(fullfile(outdir, files(1).name));
            noisy = sprintf('%.2f', s.result.noisyPsnr);
        end
        cells{l} = sprintf(' %s | %s |', range(auto), range(best));
    end
    out('| %s | %s | %g | %g, %g, %g | %s |%s%s%s\n', row.image, row.problem, row.peak, ...
        row.alpha, row.mean, row.var, noisy, cells{:});
end
out('\n| image | problem | peak | likelihood | lambda | objective | at 5000 | relative | per pixel | share of the first gap | iterations | seconds | PSNR, at 5000 | x against 5000 |\n');
out('|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n');
for r = 1:numel(rows)
    files = dir(fullfile(outdir, sprintf('convergence_%02d_*.mat', r)));
    for f = 1:numel(files)
        s = load(fullfile(outdir, files(f).name));
        c = s.result;
        quality = '- | - |';
        if isfield(c, 'psnr')
            quality = sprintf('%.2f, %.2f | %.1e |', c.psnr, c.psnrLong, c.change);
        end
        out('| %s | %s | %g | %s | %.4g | %.10g | %.10g | %.1e | %.1e | %.1e | %d | %.1f | %s\n', ...
            c.row.image, c.row.problem, c.row.peak, c.likelihood, c.lambda, c.objective, ...
            c.reference, c.relative, c.perPixel, (c.objective - c.reference) / (c.start - c.reference), ...
            c.iterations, c.seconds, quality);
    end
end
out('\n| size | problem | likelihood | seconds | iterations | ms per iteration | fft | prox | tv | other | pglikmt gradient |\n');
out('|---|---|---|---|---|---|---|---|---|---|---|\n');
files = dir(fullfile(outdir, 'speed_*.mat'));
for f = 1:numel(files)
    s = load(fullfile(outdir, files(f).name));
    c = s.result;
    per = 1e3 / c.iterations;
    out('| %dx%d | %s | %s | %.1f | %d | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n', c.n, c.n, ...
        ternary(c.blurred, '5x5 blur', 'denoise'), c.likelihood, c.seconds, c.iterations, ...
        per * c.seconds, per * c.time.fft, per * c.time.prox, per * c.time.tv, per * c.time.other, ...
        1e3 * c.gradient);
end
out('\n| image | peak | likelihood | lambda | PSNR | mean / truth | lambda TV / truth | zeros (dark) | MSE dark / bright | mean dark / bright | identity | mass restored |\n');
out('|---|---|---|---|---|---|---|---|---|---|---|---|\n');
for r = [1 2 4 5]
    file = fullfile(outdir, sprintf('bias_%02d.mat', r));
    if ~exist(file, 'file')
        continue;
    end
    s = load(file);
    for l = {'exact', 'shifted'}
        e = s.result.(l{1});
        extra = '- | - |';
        if isfield(e, 'identity')
            extra = sprintf('%.1e | %.2f |', e.identity, e.psnrMassRestored);
        end
        out('| %s | %g | %s | %.3g | %.2f | %.3f | %.3f | %.0f %% (%.0f %%) | %.4f / %.4f | %.3f / %.3f | %s\n', ...
            s.result.row.image, s.result.row.peak, l{1}, e.lambda, e.psnr, e.meanRatio, ...
            e.tvShare, 100 * e.zeros, 100 * e.zerosDark, e.mseDark, e.mseBright, e.meanDark, ...
            e.meanBright, extra);
    end
end
file = fullfile(outdir, 'volume.mat');
if exist(file, 'file')
    s = load(file);
    c = s.result;
    out('\n3-D %dx%dx%d, 3x3x3 PSF, peak 5: observed %.2f dB, restored %.2f dB (%s, lambda %.4g), %.1f s, %d iterations\n', ...
        c.size, c.noisyPsnr, c.psnr, c.likelihood, c.lambda, c.seconds, c.iterations);
end
fprintf('wrote %s\n', fullfile(outdir, 'restoration.md'));
end

function values = gather(outdir, pattern)
files = dir(fullfile(outdir, pattern));
values = zeros(1, numel(files));
for f = 1:numel(files)
    s = load(fullfile(outdir, files(f).name));
    values(f) = s.result.psnr;
end
end

function text = range(values)
if isempty(values)
    text = '-';
elseif numel(values) == 1 || max(values) - min(values) < 0.005
    text = sprintf('%.2f', values(1));
else
    text = sprintf('%.2f-%.2f', min(values), max(values));
end
end

function value = psnr(x, truth, peak)
value = 10 * log10(peak ^ 2 / mean((x(:) - truth(:)) .^ 2));
end

function out = ternary(condition, a, b)
if condition
    out = a;
else
    out = b;
end
end

function seedGenerators(seed)
if exist('OCTAVE_VERSION', 'builtin')
    rand('state', seed); %#ok<RAND>
    randn('state', seed); %#ok<RAND>
else
    rng(seed);
end
end

function k = poissonSample(lambda)
% Inversion of the distribution function, all elements at once; means above 400
% as sums of smaller draws, whose exp(-mean) does not underflow.
k = zeros(size(lambda));
rest = lambda;
while any(rest(:) > 0)
    part = min(rest, 400);
    rest = rest - part;
    u = rand(size(part));
    p = exp(-part);
    cumulative = p;
    active = u > cumulative;
    n = 0;
    while any(active(:))
        n = n + 1;
        p(active) = p(active) .* part(active) / n;
        cumulative(active) = cumulative(active) + p(active);
        k(active) = k(active) + 1;
        active = active & u > cumulative & p > 0;
    end
end
end

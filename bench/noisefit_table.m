function results = noisefit_table(root, part)
%NOISEFIT_TABLE  pgnoisefit's accuracy on the two photographs, and its time.
%   RESULTS = NOISEFIT_TABLE(ROOT) draws synthetic data from
%   examples/images/camera.png and cell.png under ROOT (each 256x256: camera
%   by 2x2 means, cell by 2x2 means of its central 512x512), x = peak*(0.02 +
%   0.98*I/max(I)), and fits it:
%     single images  peaks 20, 200 and 2000 photons, alpha 0.5 and 4, var 1
%                    and 36, mean 0 and 100, one draw each (48 trials)
%     stacks         16 frames, peak 200, alpha 2.5, mean 50, var 16, eight
%                    draws of each image
%   It prints one row per trial, the median and worst of each error per
%   single-image setting, and for the stacks each error's mean over the draws
%   (the bias) with its standard error, its spread over the draws, the fits'
%   own standard errors and the Cramer-Rao bound (every pixel's x a nuisance
%   parameter) beside the target. It returns the trials in RESULTS.images and
%   RESULTS.stacks.
%   NOISEFIT_TABLE(ROOT, 'images') or (ROOT, 'stacks') runs one part.
%
%   Errors: alpha relative; the noise level sqrt(alpha*(E[y] - mean) + var)
%   relative, at the 10th and 90th percentile of x; var relative; mean in
%   units of sqrt(var).
%
%   Time: each fit's wall time, pgnoisefit's call alone.
%
%   Run with make noisefit-table, or in Octave from ROOT:
%     addpath build/octave bench; noisefit_table('.')
if nargin < 1
    root = '.';
end
if nargin < 2
    part = 'all';
end
images = loadImages(root);
results = struct('images', [], 'stacks', []);
if any(strcmp(part, {'all', 'images'}))
    results.images = imageTrials(images);
end
if any(strcmp(part, {'all', 'stacks'}))
    results.stacks = stackTrials(images);
end
end

function images = loadImages(root)
names = {'camera', 'cell'};
images = struct('name', names, 'pixels', []);
for k = 1:2
    A = double(imread(fullfile(root, 'examples', 'images', [names{k} '.png'])));
    if size(A, 3) > 1
        A = mean(A, 3);
    end
    r0 = floor((size(A, 1) - 512) / 2);
    c0 = floor((size(A, 2) - 512) / 2);
    A = A(r0 + (1:512), c0 + (1:512));
    images(k).pixels = (A(1:2:end, 1:2:end) + A(2:2:end, 1:2:end) + A(1:2:end, 2:2:end) ...
        + A(2:2:end, 2:2:end)) / 4;
end
end

function x = intensities(image, peak)
x = peak * (0.02 + 0.98 * image.pixels / max(image.pixels(:)));
end

function y = draw(x, alpha, mu, v, frames, seed)
seedGenerators(seed);
y = zeros([size(x) frames]);
for f = 1:frames
    y(:, :, f) = alpha * poissonSample(x) + mu + sqrt(v) * randn(size(x));
end
end

function rows = imageTrials(images)
fprintf(['\nSingle images, 256x256, one draw each. Errors: alpha, noise level at the 10th and ' ...
    '90th percentile of x (relative), mean (in sqrt(var)), var (relative)\n']);
fprintf('%-6s %5s %5s %4s %4s | %8s %8s %8s | %8s %8s | %3s %-9s | %7s\n', 'image', ...
    'peak', 'alpha', 'var', 'mean', 'alpha', 'level10', 'level90', 'mean', 'var', 'lat', ...
    'ML', 'time s');
rows = [];
seed = 0;
for k = 1:numel(images)
    for peak = [20 200 2000]
        for a = [0.5 4]
            for v = [1 36]
                for mu = [0 100]
                    seed = seed + 1;
                    x = intensities(images(k), peak);
                    y = draw(x, a, mu, v, 1, seed);
                    [fit, seconds] = timedFit(y, {});
                    q = sort(x(:));
                    q = q(round([0.1; 0.9] * numel(q)));
                    level = sqrt(fit.alpha * (a * q + mu - fit.mean) + fit.var) ./ ...
                        sqrt(a^2 * q + v) - 1;
                    row = [k peak a v mu fit.alpha / a - 1 level' (fit.mean - mu) / sqrt(v) ...
                        fit.var / v - 1 fit.info.lattice seconds];
                    rows = [rows; row]; %#ok<AGROW>
                    fprintf('%-6s %5d %5.1f %4d %4d | %+8.4f %+8.4f %+8.4f | %+8.2f %+8.3f | %3d %-9s | %7.2f\n', ...
                        images(k).name, peak, a, v, mu, row(6:10), row(11), fit.info.likelihood, ...
                        seconds);
                end
            end
        end
    end
end
summarize(rows);
end

function summarize(rows)
names = {'alpha', 'level (10th and 90th pct)', 'mean / sqrt(var)', 'var'};
cols = {6, [7 8], 9, 10};
groups = {'all', @(r) true(size(r, 1), 1)
    'camera', @(r) r(:, 1) == 1
    'cell', @(r) r(:, 1) == 2
    'peak 20', @(r) r(:, 2) == 20
    'peak 200', @(r) r(:, 2) == 200
    'peak 2000', @(r) r(:, 2) == 2000
    'alpha 0.5', @(r) r(:, 3) == 0.5
    'alpha 4', @(r) r(:, 3) == 4
    'var 1', @(r) r(:, 4) == 1
    'var 36', @(r) r(:, 4) == 36
    'mean 0', @(r) r(:, 5) == 0
    'mean 100', @(r) r(:, 5) == 100};
fprintf('\nMedian and worst absolute error per setting\n');
fprintf('%-10s', 'setting');
for j = 1:numel(names)
    fprintf(' | %-27s', names{j});
end
fprintf('\n');
for g = 1:size(groups, 1)
    in = groups{g, 2}(rows);
    fprintf('%-10s', groups{g, 1});
    for j = 1:numel(names)
        e = abs(reshape(rows(in, cols{j}), [], 1));
        fprintf(' | median %7.4f worst %7.4f', median(e), max(e));
    end
    fprintf('\n');
end
fprintf('time per fit: median %.2f s (%.2f to %.2f)\n', median(rows(:, 12)), min(rows(:, 12)), ...
    max(rows(:, 12)));
end

function rows = stackTrials(images)
a = 2.5;
mu = 50;
v = 16;
frames = 16;
draws = 8;
fprintf(['\nStacks of %d frames, 256x256, peak 200, alpha %g, mean %g, var %g, %d draws. ' ...
    'Errors: alpha and var relative, mean in sqrt(var)\n'], frames, a, mu, v, draws);
fprintf('%-6s %4s | %8s %8s %8s | %8s %8s %8s | %7s\n', 'image', 'draw', 'alpha', 'mean', ...
    'var', 'se alpha', 'se mean', 'se var', 'time s');
rows = [];
bounds = zeros(numel(images), 3);
for k = 1:numel(images)
    x = intensities(images(k), 200);
    bounds(k, :) = stackBound(x, frames, a, mu, v)';
    for s = 1:draws
        y = draw(x, a, mu, v, frames, 100 * k + s);
        [fit, seconds] = timedFit(y, {'Frames', true});
        row = [k s fit.alpha / a - 1 (fit.mean - mu) / sqrt(v) fit.var / v - 1 ...
            fit.info.stderr.alpha / a fit.info.stderr.mean / sqrt(v) fit.info.stderr.var / v seconds];
        rows = [rows; row]; %#ok<AGROW>
        fprintf('%-6s %4d | %+8.4f %+8.3f %+8.4f | %8.4f %8.3f %8.4f | %7.2f\n', images(k).name, ...
            row(2:end));
    end
end
names = {'alpha', 'mean', 'var'};
targets = [0.02 0.1 0.05];
fprintf(['\nOver the draws, in the same units: bias (mean error +- its standard error), spread ' ...
    '(standard deviation), the fits'' median standard error and the Cramer-Rao bound\n']);
fprintf('%-6s %-5s | %6s | %17s | %8s | %8s | %8s\n', 'image', '', 'target', 'bias', 'spread', ...
    'fit se', 'bound');
for k = 1:numel(images)
    in = rows(:, 1) == k;
    for j = 1:3
        e = rows(in, 2 + j);
        fprintf('%-6s %-5s | %6.3f | %+8.4f +- %6.4f | %8.4f | %8.4f | %8.4f\n', images(k).name, ...
            names{j}, targets(j), mean(e), std(e) / sqrt(numel(e)), std(e), ...
            median(rows(in, 5 + j)), bounds(k, j));
    end
end
fprintf('time per stack fit: median %.2f s (%.2f to %.2f)\n', median(rows(:, 9)), ...
    min(rows(:, 9)), max(rows(:, 9)));
end

function bound = stackBound(x, frames, a, mu, v)
% The Cramer-Rao bound for alpha, mean and var (in the table's units) from a stack of frames
% of the scene x, every pixel's x a nuisance parameter: per level, one value's Fisher
% information in (var, mean, alpha, x) by quadrature over y, its part for (var, mean, alpha)
% left when x is estimated too, times the frames, summed over the pixels (levels binned in
% 60 quantiles, over which that part barely changes).
x = sort(x(:));
edges = round(linspace(0, numel(x), 61));
info = zeros(3);
for b = 1:60
    level = x(edges(b) + 1:edges(b + 1));
    F = oneValueFisher(mean(level), a, mu, v);
    info = info + numel(level) * frames * (F(1:3, 1:3) - F(1:3, 4) * F(4, 1:3) / F(4, 4));
end
c = inv(info);
bound = sqrt([c(3, 3) / a^2; c(2, 2) / v; c(1, 1) / v^2]);
end

function F = oneValueFisher(x, a, mu, v)
% The scores of one value y from the posterior of its count n: d/dvar = (E[d^2] - var)/(2var^2),
% d/dmean = E[d]/var, d/dalpha = E[n*d]/var, d/dx = E[n]/x - 1, d = y - mean - alpha*n.
% Counts and values past 9 standard deviations add nothing a double holds.
n = (max(floor(x - 9 * sqrt(x) - 10), 0):ceil(x + 9 * sqrt(x) + 10))';
logPoisson = -x + n * log(x) - gammaln(n + 1);
dy = sqrt(v) / 8;
y = mu + a * n(1) - 9 * sqrt(v) + (0:ceil((a * (n(end) - n(1)) + 18 * sqrt(v)) / dy)) * dy;
d = bsxfun(@minus, y, a * n + mu);
logTerm = bsxfun(@plus, logPoisson, -d.^2 / (2 * v)) - log(2 * pi * v) / 2;
top = max(logTerm, [], 1);
term = exp(bsxfun(@minus, logTerm, top));
total = sum(term, 1);
post = bsxfun(@rdivide, term, total);
density = total .* exp(top);
Ed = sum(post .* d, 1);
scores = [(sum(post .* d.^2, 1) - v) / (2 * v^2); Ed / v; sum(post .* bsxfun(@times, n, d), 1) / v; ...
    sum(post .* bsxfun(@times, n, ones(size(y))), 1) / x - 1];
F = bsxfun(@times, scores, density * dy) * scores';
end

function [fit, seconds] = timedFit(y, options)
started = tic;
[fit.alpha, fit.mean, fit.var, fit.info] = pgnoisefit(y, options{:});
seconds = toc(started);
end

function k = poissonSample(lambda)
if exist('randp', 'builtin') || exist('randp', 'file')
    k = randp(lambda);
else
    k = poissrnd(lambda);
end
end

function seedGenerators(seed)
if exist('OCTAVE_VERSION', 'builtin')
    rand('state', seed); %#ok<RAND>
    randn('state', seed); %#ok<RAND>
    randp('state', seed);
else
    rng(seed);
end
end

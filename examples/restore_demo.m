function results = restore_demo(outdir, options)
%RESTORE_DEMO  Restore images through Poisson-Gaussian noise with the modules.
%   RESTORE_DEMO draws one synthetic scene of photon intensities x at two
%   brightnesses, a bright one (peak 30 photons) and a dim one with few
%   photons (peak 3), observes each as y = ALPHA*z + g with z ~ Poisson(x)
%   and g ~ N(MEAN, VAR), and restores each twice by minimising
%   -log p(y | x) + LAMBDA*TV(x) over x >= 0.01 with the primal-dual method
%   of Condat and Vu:
%
%     exact   the gradient and the value of -log p(y | x) from PGLIKMT, the
%             exact Poisson-Gaussian likelihood
%     approx  the gradient of the Gaussian approximation N(y; x, x + VAR),
%             which is SLOPEMAPMT after rescaling y and VAR by ALPHA and MEAN
%
%   Total variation pairs the horizontal and vertical differences of each
%   pixel into a group of two, and the dual step is the projection
%   u - GROUPSHRINKMT(u, 2*ones, LAMBDA) onto the groups' LAMBDA-balls. The
%   step sizes are found by backtracking (see condatVu below). Before each
%   regime it checks PGLIKMT's gradient against the likelihood series built
%   from the OBSEXPSCALE and TERMDECAY tables (LIKELIHOOD_SERIES).
%
%   It prints progress and a table of PSNR and time per regime, and writes
%   restore_demo.png into OUTDIR (default: a folder under tempdir): one row
%   per regime, each showing truth, noisy, exact and approximate.
%
%   RESULTS = RESTORE_DEMO(OUTDIR, OPTIONS) returns a struct whose field
%   regimes has one entry per brightness (name, peak, lambda, psnrNoisy,
%   psnrExact, psnrApprox, timeExact, timeApprox, seriesGap) and whose field
%   picture is the picture's path. OPTIONS may set any of: size (scene
%   side, 160), iterations (per restoration, 150), peaks ([30 3]), lambda
%   (one per peak, [0.25 0.5]), alpha (1.5), mean (2), var (9), seed (1),
%   quiet (false).
%
%   The compiled modules it calls (GROUPSHRINKMT, SLOPEMAPMT, PGLIKMT,
%   OBSEXPSCALE, TERMDECAY) and LIKELIHOOD_SERIES must be on the path.

if nargin < 1 || isempty(outdir)
    outdir = fullfile(tempdir, 'restore_demo');
end
if nargin < 2
    options = struct();
end
opts = withDefaults(options, struct('size', 160, 'iterations', 150, 'peaks', [30 3], ...
    'lambda', [0.25 0.5], 'alpha', 1.5, 'mean', 2, 'var', 9, 'seed', 1, 'quiet', false));
names = {'groupshrinkmt', 'slopemapmt', 'pglikmt', 'obsexpscale', 'termdecay'};
for k = 1:numel(names)
    if exist(names{k}, 'file') ~= 3
        error('restore_demo:noModule', ...
            'restore_demo: %s is not compiled or not on the path (see build_mex)', names{k});
    end
end

alpha = opts.alpha;
mu = opts.mean;
noiseVar = opts.var;
seedGenerators(opts.seed);
scene = makeScene(opts.size);
regimes = struct([]);
rows = {};
for r = 1:numel(opts.peaks)
    peak = opts.peaks(r);
    lambda = opts.lambda(r);
    truth = scene * (peak / max(scene(:)));
    y = alpha * poissonSample(truth) + mu + sqrt(noiseVar) * randn(size(truth));
    noisy = (y - mu) / alpha;
    name = sprintf('peak %g', peak);
    say(opts, '\n%s: %dx%d scene; alpha %g, mean %g, var %g; lambda %g\n', name, ...
        opts.size, opts.size, alpha, mu, noiseVar, lambda);

    exactModel = @(x) pglikmt(x, y, noiseVar, mu, alpha);
    % slopemapmt knows only alpha = 1 and mean = 0: express y and var in counts.
    yCounts = noisy(:);
    varCounts = noiseVar / alpha^2;
    approxModel = @(x) reshape(slopemapmt(x(:), yCounts, [], [], varCounts, 0, 1, []), size(x));
    gap = seriesGap(noisy, y, opts);
    say(opts, '  pglikmt against the obsexpscale/termdecay series: gradients differ by %.1e\n', gap);

    % One untimed iteration of each first, so that neither timed run pays for the
    % first call of a module or a function in this process.
    if r == 1
        warm = withDefaults(struct('iterations', 1, 'quiet', true), opts);
        condatVu(noisy, exactModel, exactModel, lambda, truth, peak, warm);
        condatVu(noisy, approxModel, exactModel, lambda, truth, peak, warm);
    end
    say(opts, '  exact gradient (pglikmt)\n');
    [exact, exactTime] = condatVu(noisy, exactModel, exactModel, lambda, truth, peak, opts);
    say(opts, '  approximate gradient (slopemapmt)\n');
    [approx, approxTime] = condatVu(noisy, approxModel, exactModel, lambda, truth, peak, opts);

    regimes(r).name = name;
    regimes(r).peak = peak;
    regimes(r).lambda = lambda;
    regimes(r).psnrNoisy = psnr(noisy, truth, peak);
    regimes(r).psnrExact = psnr(exact, truth, peak);
    regimes(r).psnrApprox = psnr(approx, truth, peak);
    regimes(r).timeExact = exactTime;
    regimes(r).timeApprox = approxTime;
    regimes(r).seriesGap = gap;
    rows{r} = {truth, noisy, exact, approx}; %#ok<AGROW>
end

say(opts, '\n%-10s %-28s %9s %9s\n', 'regime', 'image', 'PSNR (dB)', 'time (s)');
for r = 1:numel(regimes)
    g = regimes(r);
    say(opts, '%-10s %-28s %9.2f %9s\n', g.name, 'noisy, (y - mean)/alpha', g.psnrNoisy, '-');
    say(opts, '%-10s %-28s %9.2f %9.2f\n', g.name, 'exact gradient', g.psnrExact, g.timeExact);
    say(opts, '%-10s %-28s %9.2f %9.2f\n', g.name, 'approximate gradient', g.psnrApprox, ...
        g.timeApprox);
end

if ~exist(outdir, 'dir')
    mkdir(outdir);
end
results = struct('regimes', regimes, 'picture', fullfile(outdir, 'restore_demo.png'));
imwrite(montage(rows, opts.peaks), results.picture);
say(opts, '\nrows by peak; truth | noisy | exact | approximate, written to %s\n', results.picture);
end

function [x, seconds] = condatVu(start, gradient, exactModel, lambda, truth, peak, opts)
% Condat-Vu converges when 1/tau - sigma*||D||^2 >= beta/2, beta a Lipschitz
% constant of the data term's gradient over the feasible set (||D||^2 <= 8
% for the differences). Over x >= floor no useful beta exists: the curvature
% of f(x) = -log p(y | x) is (E[n] - Var[n])/x^2 <= E[n]/x^2, which at the
% floor under a bright observation passes 1e5. So beta is not fixed in
% advance. Each step is tried with the beta that tau and sigma leave,
% beta = 2*(1/tau - 8*sigma), and kept only if
%   <g(x+) - g(x), x+ - x> <= beta/2 ||x+ - x||^2;
% otherwise tau is halved and the step tried again, and tau never grows
% back. f is convex (the posterior of n is a Poisson law reweighted by the
% log-concave Gaussian factor, so it is ultra-log-concave and its variance
% is at most its mean), so <g(x + t h), h> grows with t, and the test bounds
% f(x+) - f(x) - <g(x), x+ - x> by beta/2 ||x+ - x||^2: the descent lemma
% along every step taken, which is all the convergence proof asks of beta.
%
% slopemapmt's map is held to the same test, but it guarantees nothing
% there: where y < 1/2 - var (in counts) the map falls as x grows, so it is
% no convex function's gradient and no step size makes the method converge
% for it. Reports evaluate the exact objective for both restorations,
% outside the timed work.
tau = 0.5;
sigma = 0.2;
normD2 = 8;
floorValue = 1e-2;
timed = tic;
reporting = 0;
x = max(start, floorValue);
u = zeros([2, size(x)]);
groups = 2 * ones(numel(x), 1);
g = gradient(x);
for k = 1:opts.iterations
    previous = x;
    descent = -(g + differencesAdjoint(u));
    for halvings = 0:60
        beta = 2 * (1 / tau - normD2 * sigma);
        x = max(previous + tau * descent, floorValue);
        step = x(:) - previous(:);
        gNext = gradient(x);
        if (gNext(:) - g(:))' * step <= beta / 2 * (step' * step)
            break;
        end
        tau = tau / 2;
    end
    g = gNext;
    v = u + sigma * differences(2 * x - previous);
    u = v - reshape(groupshrinkmt(v(:), groups, lambda, [], []), size(v));
    if k == 1 || mod(k, 25) == 0 || k == opts.iterations
        reported = tic;
        [~, nll] = exactModel(x);
        say(opts, '    iteration %4d  objective %.6e  tau %.3g  PSNR %6.2f dB\n', k, ...
            nll + lambda * totalVariation(x), tau, psnr(x, truth, peak));
        reporting = reporting + toc(reported);
    end
end
seconds = toc(timed) - reporting;
end

function gap = seriesGap(x, y, opts)
% The exact gradient two ways at the noisy image: pglikmt's, and the
% likelihood series cut at termdecay's length (margin 6).
x = max(x, 1e-2);
expY = reshape(obsexpscale(y(:), opts.var, opts.mean, opts.alpha), size(y));
decay = termdecay(y(:), opts.var, opts.mean, opts.alpha, 6);
series = struct('ratio', expY * exp(opts.alpha^2 / (2 * opts.var)), 'decay', decay);
fromSeries = 1 - likelihood_series(x, series) ./ x;
exact = pglikmt(x, y, opts.var, opts.mean, opts.alpha);
gap = max(abs(exact(:) - fromSeries(:)));
end

function picture = montage(rows, peaks)
% One row of images per regime, each scaled to its own peak, 4 pixels apart.
n = size(rows{1}{1}, 1);
picture = ones(numel(rows) * (n + 4) - 4, 4 * (n + 4) - 4);
for r = 1:numel(rows)
    for k = 1:4
        img = min(max(rows{r}{k} / peaks(r), 0), 1);
        picture((r - 1) * (n + 4) + (1:n), (k - 1) * (n + 4) + (1:n)) = img;
    end
end
end

function d = differences(x)
% Forward differences, zero past the last row and column; the two of pixel p
% sit at d(1, p) and d(2, p), side by side in d(:).
d = zeros([2, size(x)]);
d(1, :, 1:end - 1) = x(:, 2:end) - x(:, 1:end - 1);
d(2, 1:end - 1, :) = x(2:end, :) - x(1:end - 1, :);
end

function x = differencesAdjoint(d)
dx = reshape(d(1, :, :), size(d, 2), size(d, 3));
dy = reshape(d(2, :, :), size(d, 2), size(d, 3));
x = zeros(size(dx));
x(:, 1:end - 1) = x(:, 1:end - 1) - dx(:, 1:end - 1);
x(:, 2:end) = x(:, 2:end) + dx(:, 1:end - 1);
x(1:end - 1, :) = x(1:end - 1, :) - dy(1:end - 1, :);
x(2:end, :) = x(2:end, :) + dy(1:end - 1, :);
end

function tv = totalVariation(x)
d = differences(x);
tv = sum(sqrt(d(1, :).^2 + d(2, :).^2));
end

function value = psnr(x, truth, peak)
value = 10 * log10(peak^2 / mean((x(:) - truth(:)).^2));
end

function scene = makeScene(n)
% Flat regions with sharp edges, a ramp and small details, from 0 to 30,
% drawn on the unit square so every size shows the same scene.
[c, r] = meshgrid(((1:n) - 0.5) / n);
scene = 2 * ones(n);
scene(r > 0.1 & r < 0.4 & c > 0.08 & c < 0.45) = 12;
scene((c - 0.72).^2 + (r - 0.28).^2 < 0.18^2) = 30;
scene((c - 0.72).^2 + (r - 0.28).^2 < 0.08^2) = 6;
ramp = r > 0.55 & r < 0.9 & c > 0.06 & c < 0.5;
scene(ramp) = 4 + 22 * (c(ramp) - 0.06) / 0.44;
for k = 0:3
    square = abs(c - (0.6 + 0.1 * k)) < 0.03 & abs(r - 0.72) < 0.03;
    scene(square) = 20 + 3 * k;
end
scene(r > 0.86 & r < 0.9 & c > 0.58 & c < 0.94) = 0;
scene(r > 0.55 & r < 0.6 & c > 0.58 & c < 0.94) = 16;
end

function k = poissonSample(lambda)
% Inversion of the cumulative distribution, all pixels at once; it stops for
% a pixel once its probabilities underflow, so it always ends.
u = rand(size(lambda));
k = zeros(size(lambda));
p = exp(-lambda);
cumulative = p;
active = u > cumulative;
n = 0;
while any(active(:))
    n = n + 1;
    p(active) = p(active) .* lambda(active) / n;
    cumulative(active) = cumulative(active) + p(active);
    k(active) = n;
    active = active & u > cumulative & p > 0;
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

function opts = withDefaults(opts, defaults)
fields = fieldnames(defaults);
for k = 1:numel(fields)
    if ~isfield(opts, fields{k})
        opts.(fields{k}) = defaults.(fields{k});
    end
end
end

function say(opts, varargin)
if ~opts.quiet
    fprintf(varargin{:});
end
end

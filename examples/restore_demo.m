function results = restore_demo(outdir, options)
%RESTORE_DEMO  Restore an image through Poisson-Gaussian noise with the four modules.
%   RESTORE_DEMO makes a synthetic scene of photon intensities x (0 to 30),
%   observes it as y = ALPHA*z + g with z ~ Poisson(x) and g ~ N(MEAN, VAR),
%   and restores it twice by minimising -log p(y | x) + LAMBDA*TV(x) over
%   x >= a small floor with the primal-dual method of Condat and Vu:
%
%     exact   the gradient of -log p(y | x) from the likelihood series, whose
%             terms are products of the OBSEXPSCALE and TERMDECAY tables
%             (LIKELIHOOD_SERIES)
%     approx  the gradient of the Gaussian approximation N(y; x, x + VAR),
%             which is SLOPEMAPMT after rescaling y and VAR by ALPHA and MEAN
%
%   Total variation pairs the horizontal and vertical differences of each
%   pixel into a group of two, and the dual step is the projection
%   u - GROUPSHRINKMT(u, 2*ones, LAMBDA) onto the groups' LAMBDA-balls.
%
%   It prints progress, a table of PSNR and time, and writes truth.png,
%   noisy.png, exact.png, approx.png and restore_demo.png (all four side by
%   side) into OUTDIR (default: a folder under tempdir).
%
%   RESULTS = RESTORE_DEMO(OUTDIR, OPTIONS) returns the PSNRs, times, L and
%   the picture's path. OPTIONS may set any of: size (scene side, 160),
%   iterations (per restoration, 150), lambda (0.25), alpha (1.5), mean (2),
%   var (9), seed (1), quiet (false).
%
%   The four compiled modules and LIKELIHOOD_SERIES must be on the path.

if nargin < 1 || isempty(outdir)
    outdir = fullfile(tempdir, 'restore_demo');
end
if nargin < 2
    options = struct();
end
opts = withDefaults(options, struct('size', 160, 'iterations', 150, 'lambda', 0.25, ...
    'alpha', 1.5, 'mean', 2, 'var', 9, 'seed', 1, 'quiet', false));
names = {'groupshrinkmt', 'obsexpscale', 'termdecay', 'slopemapmt'};
for k = 1:numel(names)
    if exist(names{k}, 'file') ~= 3
        error('restore_demo:noModule', ...
            'restore_demo: %s is not compiled or not on the path (see build_mex)', names{k});
    end
end

alpha = opts.alpha;
mu = opts.mean;
noiseVar = opts.var;
truth = makeScene(opts.size);
peak = max(truth(:));
seedGenerators(opts.seed);
y = alpha * poissonSample(truth) + mu + sqrt(noiseVar) * randn(size(truth));
noisy = (y - mu) / alpha;

% The series is cut at termdecay's length, which bounds the counts that
% matter for the brightest observation; margin 3 reaches three noise
% deviations past it.
expY = reshape(obsexpscale(y(:), noiseVar, mu, alpha), size(y));
decay = termdecay(y(:), noiseVar, mu, alpha, 3);
series = struct('ratio', expY * exp(alpha^2 / (2 * noiseVar)), 'decay', decay);
say(opts, '%dx%d scene, peak %g photons; alpha %g, mean %g, var %g; series cut at L = %d\n', ...
    opts.size, opts.size, peak, alpha, mu, noiseVar, numel(decay));

exactGradient = @(x) 1 - likelihood_series(x, series) ./ x;
% slopemapmt knows only alpha = 1 and mean = 0: express y and var in counts.
yCounts = noisy(:);
varCounts = noiseVar / alpha^2;
approxGradient = @(x) reshape(slopemapmt(x(:), yCounts, [], [], varCounts, 0, 1, []), size(x));
objective = @(x) negLogLikelihood(x, series) + opts.lambda * totalVariation(x);

say(opts, '\nrestoring with the exact gradient (obsexpscale, termdecay tables)\n');
started = tic;
exact = condatVu(noisy, exactGradient, objective, truth, peak, opts);
exactTime = toc(started);
say(opts, '\nrestoring with the approximate gradient (slopemapmt)\n');
started = tic;
approx = condatVu(noisy, approxGradient, objective, truth, peak, opts);
approxTime = toc(started);

results = struct('psnrNoisy', psnr(noisy, truth, peak), 'psnrExact', psnr(exact, truth, peak), ...
    'psnrApprox', psnr(approx, truth, peak), 'timeExact', exactTime, ...
    'timeApprox', approxTime, 'length', numel(decay), 'picture', '');
say(opts, '\n%-28s %9s %9s\n', 'image', 'PSNR (dB)', 'time (s)');
say(opts, '%-28s %9.2f %9s\n', 'noisy, (y - mean)/alpha', results.psnrNoisy, '-');
say(opts, '%-28s %9.2f %9.2f\n', 'exact gradient', results.psnrExact, exactTime);
say(opts, '%-28s %9.2f %9.2f\n', 'approximate gradient', results.psnrApprox, approxTime);

if ~exist(outdir, 'dir')
    mkdir(outdir);
end
shown = {truth, noisy, exact, approx};
files = {'truth.png', 'noisy.png', 'exact.png', 'approx.png'};
gap = ones(size(truth, 1), 4);
strip = [];
for k = 1:numel(shown)
    img = min(max(shown{k} / peak, 0), 1);
    imwrite(img, fullfile(outdir, files{k}));
    if k > 1
        strip = [strip, gap]; %#ok<AGROW>
    end
    strip = [strip, img]; %#ok<AGROW>
end
results.picture = fullfile(outdir, 'restore_demo.png');
imwrite(strip, results.picture);
say(opts, '\ntruth | noisy | exact | approximate written to %s\n', results.picture);
end

function x = condatVu(start, gradient, objective, truth, peak, opts)
% The differences have norm^2 <= 8, so 1/tau - 8*sigma = 0.4 is what the
% steps leave for the data term, whose curvature must then stay below 0.8.
% It does where x is within one noise deviation of the observation (at most
% 0.47 with the demo's noise), not at the floor under a bright observation,
% where it grows like y/x^2; iterates started from the noisy image stay away
% from there, and the printed objective falls at every report.
tau = 0.5;
sigma = 0.2;
floorValue = 1e-2;
x = max(start, floorValue);
u = zeros([2, size(x)]);
groups = 2 * ones(numel(x), 1);
for k = 1:opts.iterations
    previous = x;
    x = max(x - tau * (gradient(x) + differencesAdjoint(u)), floorValue);
    v = u + sigma * differences(2 * x - previous);
    u = v - reshape(groupshrinkmt(v(:), groups, opts.lambda, [], []), size(v));
    if k == 1 || mod(k, 25) == 0 || k == opts.iterations
        change = norm(x(:) - previous(:)) / norm(previous(:));
        say(opts, '  iteration %4d  objective %.6e  change %.2e  PSNR %6.2f dB\n', k, ...
            objective(x), change, psnr(x, truth, peak));
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

function value = negLogLikelihood(x, series)
% -log p(y | x) up to the constant -log N(y; mean, var) of each pixel.
[~, logSum] = likelihood_series(x, series);
value = sum(x(:) - logSum(:));
end

function value = psnr(x, truth, peak)
value = 10 * log10(peak^2 / mean((x(:) - truth(:)).^2));
end

function scene = makeScene(n)
% Flat regions with sharp edges, a ramp and small details, from 0 to 30
% photons, drawn on the unit square so every size shows the same scene.
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

function results = restore_demo(outdir, options)
%RESTORE_DEMO  Restore a blurred photograph at a few photons per pixel with PGRESTORE.
%   RESTORE_DEMO takes camera.png (examples/images), halves it, keeps its
%   middle SIZE x SIZE pixels and scales them to a peak of PEAK photons: the
%   truth x. A camera sees it through a 7x7 Gaussian blur H (sigma 1.5) with
%   gain ALPHA and read noise N(MEAN, VAR):
%
%     y = ALPHA * Poisson(H x) + N(MEAN, VAR)
%
%   observed over the part of the scene the blur does not carry past the edges
%   (H x is conv(x, PSF, 'valid'), so y is 6 pixels smaller each way, and no
%   wrap-around is assumed anywhere). It then restores y once per likelihood,
%   each a single call
%
%     x = pgrestore(y, alpha, mean, var, 'PSF', psf, 'Likelihood', name)
%
%   with ALPHA, MEAN and VAR estimated from y by PGNOISEFIT and LAMBDA chosen
%   from the data, prints a table of PSNR (over y's pixels, against the
%   truth's middle), LAMBDA, iterations and seconds, and writes
%   restore_demo.png into OUTDIR (default: a folder under tempdir): truth |
%   observed, (y - MEAN)/ALPHA | exact | shifted. The 'gaussian' likelihood is
%   left out by default: it is not convex, its last solve runs to the iteration
%   cap, and it alone would take the demo past a minute.
%
%   RESULTS = RESTORE_DEMO(OUTDIR, OPTIONS) returns a struct with the table's
%   rows (likelihood, lambda, psnr, iterations, seconds), psnrObserved, noise
%   (the ALPHA, MEAN, VAR restored with) and picture, the picture's path.
%   OPTIONS may set any of: size (128), peak (5), alpha (2.5), mean (10), var
%   (16), seed (1), estimate (true: PGNOISEFIT; false: the true values),
%   likelihoods ({'exact', 'shifted'}; add 'gaussian' to see it too), quiet
%   (false).
%
%   PGRESTORE, PGNOISEFIT and the compiled modules must be on the path.

if nargin < 1 || isempty(outdir)
    outdir = fullfile(tempdir, 'restore_demo');
end
if nargin < 2
    options = struct();
end
opts = withDefaults(options, struct('size', 128, 'peak', 5, 'alpha', 2.5, 'mean', 10, ...
    'var', 16, 'seed', 1, 'estimate', true, 'likelihoods', {{'exact', 'shifted'}}, ...
    'quiet', false));
names = {'pgrestore', 'pgnoisefit', 'pglikmt', 'pgproxmt', 'groupshrinkmt'};
for k = 1:numel(names)
    if ~exist(names{k}, 'file')
        error('restore_demo:missing', 'restore_demo: %s is not on the path', names{k});
    end
end

photo = double(imread(fullfile(fileparts(mfilename('fullpath')), 'images', 'camera.png')));
photo = (photo(1:2:end, 1:2:end) + photo(2:2:end, 1:2:end) + photo(1:2:end, 2:2:end) + ...
    photo(2:2:end, 2:2:end)) / 4;
first = floor((size(photo) - opts.size) / 2);
scene = photo(first(1) + (1:opts.size), first(2) + (1:opts.size));
scene = scene * (opts.peak / max(scene(:)));
[c, r] = meshgrid(-3:3);
psf = exp(-(c .^ 2 + r .^ 2) / (2 * 1.5 ^ 2));
psf = psf / sum(psf(:));
seedGenerators(opts.seed);
blurred = convn(scene, psf, 'valid');
truth = scene(4:end - 3, 4:end - 3);
y = opts.alpha * poissonSample(blurred) + opts.mean + sqrt(opts.var) * randn(size(blurred));

% The noise parameters come from the data, as they would for a user's own image.
if opts.estimate
    [alpha, mu, noiseVar] = pgnoisefit(y);
else
    alpha = opts.alpha;
    mu = opts.mean;
    noiseVar = opts.var;
end

observed = (y - mu) / alpha;
say(opts, 'camera.png, %dx%d observed through a 7x7 Gaussian blur; peak %g photons, alpha %g, mean %g, var %g\n', ...
    size(y), opts.peak, opts.alpha, opts.mean, opts.var);
if opts.estimate
    say(opts, 'pgnoisefit(y): alpha %.3g, mean %.3g, var %.3g\n', alpha, mu, noiseVar);
end
likelihoods = opts.likelihoods;
rows = struct('likelihood', likelihoods, 'lambda', 0, 'psnr', 0, 'iterations', 0, 'seconds', 0);
images = {truth, observed};
for k = 1:numel(likelihoods)
    started = tic;
    [x, info] = pgrestore(y, alpha, mu, noiseVar, 'PSF', psf, 'Likelihood', likelihoods{k});
    rows(k).seconds = toc(started);
    rows(k).lambda = info.lambda;
    rows(k).psnr = psnr(x, truth, opts.peak);
    rows(k).iterations = info.iterations;
    images{end + 1} = x; %#ok<AGROW>
end

say(opts, '\n%-28s %9s %9s %10s %9s\n', 'image', 'PSNR (dB)', 'lambda', 'iterations', 'time (s)');
say(opts, '%-28s %9.2f %9s %10s %9s\n', 'observed, (y - mean)/alpha', psnr(observed, truth, ...
    opts.peak), '-', '-', '-');
for k = 1:numel(rows)
    say(opts, '%-28s %9.2f %9.4g %10d %9.1f\n', ['pgrestore, ' rows(k).likelihood], rows(k).psnr, ...
        rows(k).lambda, rows(k).iterations, rows(k).seconds);
end

if ~exist(outdir, 'dir')
    mkdir(outdir);
end
results = struct('rows', rows, 'psnrObserved', psnr(observed, truth, opts.peak), ...
    'noise', [alpha, mu, noiseVar], 'picture', fullfile(outdir, 'restore_demo.png'));
imwrite(montage(images, opts.peak), results.picture);
say(opts, '\ntruth | observed | %s, written to %s\n', strjoin(likelihoods, ' | '), ...
    results.picture);
end

function picture = montage(images, peak)
% One row, each image on the truth's scale, 4 pixels apart.
n = size(images{1});
picture = ones(n(1), numel(images) * (n(2) + 4) - 4);
for k = 1:numel(images)
    picture(:, (k - 1) * (n(2) + 4) + (1:n(2))) = min(max(images{k} / peak, 0), 1);
end
end

function value = psnr(x, truth, peak)
value = 10 * log10(peak ^ 2 / mean((x(:) - truth(:)) .^ 2));
end

function k = poissonSample(lambda)
% Inversion of the distribution function, all pixels at once; it stops for a
% pixel once its probabilities underflow, so it always ends.
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

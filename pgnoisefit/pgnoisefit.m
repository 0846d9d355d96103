function [alpha, mu, noiseVar, info] = pgnoisefit(y, varargin)
%PGNOISEFIT  Poisson-Gaussian noise parameters estimated from the data.
%   [ALPHA, MEAN, VAR] = PGNOISEFIT(Y)
%   [ALPHA, MEAN, VAR, INFO] = PGNOISEFIT(Y, Name, Value, ...)
%
%   For data Y = ALPHA*n + g, n ~ Poisson(x) and g ~ N(MEAN, VAR), with the
%   photon intensities x unknown, PGNOISEFIT estimates ALPHA, MEAN and VAR.
%   The variance of Y is ALPHA*(E[Y] - MEAN) + VAR, so the noise level at
%   any brightness needs only ALPHA and VAR - ALPHA*MEAN; MEAN and VAR apart
%   are identified by the shape of the noise (its skewness, and the lattice
%   of counts when ALPHA^2 is large against VAR), which a single image may
%   not hold: INFO says which parameters the data identified.
%
%   A single image (Y of 2 or 3 dimensions; a 3-D Y is taken as slices of
%   one image or volume, all with the same noise):
%     1. Each pixel's residual after a 3x3 second difference (unit noise
%        gain, blind to planes) and its local mean, gathered in blocks of
%        8x8; blocks whose gradients vary more than the noise allows
%        (textures, edges) are left out, and a line of variance against
%        mean is fitted by reweighted least squares, alternating with that
%        selection. Its slope is ALPHA, its intercept VAR - ALPHA*MEAN.
%     2. Where the counts' lattice shows (ALPHA^2 well above VAR), the
%        characteristic function of neighbour differences at 2*pi/ALPHA,
%        which no image content moves, refines ALPHA and gives VAR; that of
%        the data there gives MEAN.
%     3. Otherwise the third cumulant of the residuals, ALPHA^2*(E[Y] -
%        MEAN), gives a first MEAN.
%     4. Maximum likelihood with the exact likelihood (PGLIKMT) over the
%        flattest blocks, each block's intensity a free parameter: the
%        profile likelihood adjusted for those parameters (Cox and Reid),
%        so that the noise is not underestimated by a factor (k-1)/k for
%        groups of k pixels.
%   'Frames', true: Y's last dimension holds repeated exposures of a static
%   scene, and every pixel's x, shared by its frames, is a free parameter
%   of the same adjusted maximum likelihood over ALPHA, MEAN and VAR, its
%   adjustment from the exact likelihood's curvature in each pixel's x (the
%   Gaussian form would leave MEAN and VAR biased up along VAR - ALPHA*MEAN
%   = constant, by one to several standard errors with 16 frames or fewer);
%   the start comes from each pixel's mean, variance and third cumulant over
%   its frames, and the lattice of frame differences where it shows.
%
%   Name-Value options (names in any case):
%     'Frames'      false (default) or true, as above.
%     'Mean'        a known MEAN (a dark frame's offset): not fitted.
%     'Var'         a known VAR: not fitted. Both may be given.
%     'Saturation'  a level at and above which pixels are clipped: they
%                   and (single image) the residuals that touch them are
%                   left out. Default Inf.
%     'Display'     'off' (default), 'final' (one line) or 'iter' (each
%                   step of the fit).
%
%   INFO is a struct with fields
%     method      'image' or 'frames'
%     levels      the noise-level curve's points: local means (blocks) or
%                 pixel means over frames
%     variances   the noise variance measured at each level
%     used        which points the curve was fitted on (textures left out)
%     fitted      ALPHA*levels + VAR - ALPHA*MEAN at each level
%     lattice     true where the counts' lattice was found
%     identified  struct with logical fields alpha, mean, var
%     stderr      struct with fields alpha, mean, var: standard errors from
%                 the adjusted likelihood's curvature (NaN where none)
%     iterations  struct: curve (reweighted fits) and likelihood (steps)
%     likelihood  'accepted', 'rejected' (moved the noise curve away from
%                 the one measured, so the moments stand) or 'skipped'
%
%   Errors (identifier: cause), checked before any work:
%     pgmex:pgnoisefit:yNotDouble         Y not a full double array
%     pgmex:pgnoisefit:yComplex           Y complex
%     pgmex:pgnoisefit:yEmpty             Y empty
%     pgmex:pgnoisefit:yNotFinite         Y holds NaN or Inf
%     pgmex:pgnoisefit:optionsNotPaired   an option name without a value
%     pgmex:pgnoisefit:unknownOption      a name that is not an option
%     pgmex:pgnoisefit:badFrames          'Frames' not a logical scalar
%     pgmex:pgnoisefit:badMean            'Mean' not a finite real scalar
%     pgmex:pgnoisefit:badVar             'Var' not a positive finite scalar
%     pgmex:pgnoisefit:badSaturation      'Saturation' not a real scalar
%     pgmex:pgnoisefit:badDisplay         'Display' not 'off', 'final', 'iter'
%     pgmex:pgnoisefit:yTooManyDims       more than 3 dimensions (4 with frames)
%     pgmex:pgnoisefit:tooFewFrames       'Frames' with fewer than 2 frames
%     pgmex:pgnoisefit:yTooSmall          too few unsaturated pixels to fit
%     pgmex:pgnoisefit:yConstant          no noise in Y at all
%
%   Example:
%     x = 50 + 40 * sin((1:256)' / 20) * cos((1:256) / 30);
%     y = 2 * poissrnd(x) + 10 + 3 * randn(size(x));   % or Octave's randp
%     [alpha, mu, v] = pgnoisefit(y)
%
%   See also PGLIKMT.

opts = parseOptions(y, varargin);
if opts.frames
    [alpha, mu, noiseVar, info] = fitFrames(y, opts);
else
    [alpha, mu, noiseVar, info] = fitImage(y, opts);
end
if ~strcmp(opts.display, 'off')
    fprintf(['pgnoisefit: alpha %.6g, mean %.6g, var %.6g (standard errors %.3g, %.3g, %.3g); ' ...
        'likelihood %s\n'], alpha, mu, noiseVar, info.stderr.alpha, info.stderr.mean, ...
        info.stderr.var, info.likelihood);
end
end

% ---------------------------------------------------------------------------------------------
% The exact likelihood, its gradient in x and its derivatives in the noise parameters.

function [grad, nll, dnll] = likelihood(x, y, noiseVar, mu, alpha)
[grad, nll, dnll] = pglikmt(x, y, noiseVar, mu, alpha);
end

% ---------------------------------------------------------------------------------------------
% Inputs.

function opts = parseOptions(y, args)
if ~isa(y, 'double') || issparse(y)
    error('pgmex:pgnoisefit:yNotDouble', 'Input y must be a full real double array.');
end
if ~isreal(y)
    error('pgmex:pgnoisefit:yComplex', 'Input y must be real.');
end
if isempty(y)
    error('pgmex:pgnoisefit:yEmpty', 'Input y must not be empty.');
end
if ~all(isfinite(y(:)))
    error('pgmex:pgnoisefit:yNotFinite', 'Input y must hold finite values only (no NaN or Inf).');
end
if mod(numel(args), 2) ~= 0
    error('pgmex:pgnoisefit:optionsNotPaired', ...
        'Options must come as Name, Value pairs: the last name has no value.');
end
opts = struct('frames', false, 'mean', [], 'var', [], 'saturation', Inf, 'display', 'off');
for k = 1:2:numel(args)
    name = args{k};
    value = args{k + 1};
    if ~ischar(name) || ~isrow(name)
        error('pgmex:pgnoisefit:unknownOption', ...
            'Option names must be character vectors: ''Frames'', ''Mean'', ''Var'', ''Saturation'' or ''Display''.');
    end
    switch lower(name)
        case 'frames'
            if ~isscalar(value) || ~(islogical(value) || (isnumeric(value) && isreal(value) ...
                    && (value == 0 || value == 1)))
                error('pgmex:pgnoisefit:badFrames', 'Option ''Frames'' must be true or false.');
            end
            opts.frames = logical(value);
        case 'mean'
            if ~isa(value, 'double') || ~isscalar(value) || ~isreal(value) || ~isfinite(value)
                error('pgmex:pgnoisefit:badMean', 'Option ''Mean'' must be a finite real double scalar.');
            end
            opts.mean = value;
        case 'var'
            if ~isa(value, 'double') || ~isscalar(value) || ~isreal(value) || ~isfinite(value) ...
                    || value <= 0
                error('pgmex:pgnoisefit:badVar', 'Option ''Var'' must be a positive finite real double scalar.');
            end
            opts.var = value;
        case 'saturation'
            if ~isa(value, 'double') || ~isscalar(value) || ~isreal(value) || isnan(value)
                error('pgmex:pgnoisefit:badSaturation', ...
                    'Option ''Saturation'' must be a real double scalar (Inf: none).');
            end
            opts.saturation = value;
        case 'display'
            if ~ischar(value) || ~any(strcmpi(value, {'off', 'final', 'iter'}))
                error('pgmex:pgnoisefit:badDisplay', ...
                    'Option ''Display'' must be ''off'', ''final'' or ''iter''.');
            end
            opts.display = lower(value);
        otherwise
            error('pgmex:pgnoisefit:unknownOption', ...
                'Unknown option ''%s'': use ''Frames'', ''Mean'', ''Var'', ''Saturation'' or ''Display''.', name);
    end
end
if ndims(y) > 3 + opts.frames
    error('pgmex:pgnoisefit:yTooManyDims', ...
        'Input y must have at most %d dimensions.', 3 + opts.frames);
end
if opts.frames && size(y, ndims(y)) < 2
    error('pgmex:pgnoisefit:tooFewFrames', ...
        'Input y must hold at least 2 frames along its last dimension with ''Frames'', true.');
end
end

% ---------------------------------------------------------------------------------------------
% A single image.

function [alpha, mu, noiseVar, info] = fitImage(y, opts)
blocks = blockStatistics(y, y < opts.saturation);
if numel(blocks.level) < 4
    error('pgmex:pgnoisefit:yTooSmall', ['Input y is too small to fit: at least four 8x8 blocks ' ...
        'of unsaturated pixels (with a pixel around each) are needed.']);
end
% A constant image leaves residuals of rounding alone, some eps of its values.
if ~any(blocks.variance > (1e3 * eps * max(abs(y(:))))^2)
    error('pgmex:pgnoisefit:yConstant', 'Input y holds no noise to fit: it is constant in every block.');
end
curve = fitNoiseCurve(blocks.level, blocks.variance, blocks.texture, blocks.count, opts);
alpha = curve.alpha;
offset = curve.offset;
say(opts, 'iter', 'curve: %d reweighted fits on %d of %d blocks: alpha %.6g, var - alpha*mean %.6g\n', ...
    curve.iterations, nnz(curve.used), numel(curve.used), alpha, offset);
se = struct('alpha', curve.seAlpha, 'mean', NaN, 'var', NaN);

% The flattest blocks: each is a group of pixels sharing one intensity, for the lattice and for
% the likelihood.
sigma2 = max(alpha * blocks.level + offset, realmin);
flat = curve.used & blocks.count == 64 & blocks.ramp < 0.05 * sigma2;
if nnz(flat) < 4
    flat = curve.used & blocks.count == 64;
end
[groupValues, groupIndex] = blockPixels(y, blocks, flat, 4);

lattice = struct('found', false);
if isempty(opts.mean) || isempty(opts.var)
    [pairs, values] = neighbourPairs(y, y < opts.saturation);
    lattice = findLattice(pairs, values, alpha, curve.seAlpha, opts);
end
if lattice.found
    % The curve's offset again, with the lattice's slope.
    alpha = lattice.alpha;
    s2 = max(alpha * blocks.level + offset, realmin);
    w = blocks.count(curve.used) ./ s2(curve.used).^2;
    offset = sum(w .* (blocks.variance(curve.used) - alpha * blocks.level(curve.used))) / sum(w);
    [mu, noiseVar] = fromLattice(lattice, alpha, offset, opts);
    se.alpha = lattice.seAlpha;
    se.var = lattice.seVar;
    se.mean = curve.seOffset / alpha;
    say(opts, 'iter', 'lattice: alpha %.6g, var %.6g, mean %.6g (mod alpha)\n', alpha, ...
        lattice.var, lattice.phaseMean);
else
    [mu, noiseVar, se.mean] = splitOffset(alpha, offset, blocks, curve.used, opts);
    se.var = alpha * se.mean;
    say(opts, 'iter', 'third cumulant: mean %.6g, var %.6g\n', mu, noiseVar);
end

[alpha, mu, noiseVar, se, outcome, steps] = refineImage(groupValues, groupIndex, alpha, mu, ...
    noiseVar, se, lattice, curve, blocks, opts);
info = struct('method', 'image', 'levels', blocks.level, 'variances', blocks.variance, ...
    'used', curve.used, 'fitted', alpha * blocks.level + noiseVar - alpha * mu, ...
    'lattice', lattice.found, 'identified', identified(alpha, noiseVar, se), 'stderr', se, ...
    'iterations', struct('curve', curve.iterations, 'likelihood', steps), 'likelihood', outcome);
end

function [alpha, mu, noiseVar, se, outcome, steps] = refineImage(values, groups, alpha, mu, ...
    noiseVar, se, lattice, curve, blocks, opts)
% Maximum likelihood over the flattest blocks, in groups of 4x4 pixels. It is kept only where
% its noise curve agrees with the measured one at the 10th and 90th percentile of the levels
% within three standard errors of the measured curve, and its mean with the third cumulant's:
% blocks that are not flat after all make it see signal as noise (measured on photographs:
% alpha 5 to 15 % high at 200 photons and more), and the moments, which leave textures out
% block by block, then stand. Where the noise swamps the signal's structure (few photons) the
% measured curve is loose and the likelihood, which uses every value's whole distribution,
% improves on it.
outcome = 'skipped';
steps = 0;
free = [isempty(opts.var); isempty(opts.mean); true];
if max(groups) < 4 || ~isfinite(curve.seAlpha) || ~any(free)
    return
end
theta = [noiseVar; mu; alpha];
if lattice.found && free(2)
    % The phase fixes mean up to multiples of alpha; the likelihood picks the multiple among
    % those the curve's offset allows.
    span = min(5, ceil(3 * curve.seOffset / alpha^2));
    best = Inf;
    for k = -span:span
        candidate = [noiseVar; mu + k * alpha; alpha];
        f = profileValue(values, groups, candidate);
        if f < best
            best = f;
            theta = candidate;
        end
    end
end
fit = profileFit(values, groups, theta, free, lattice.found, false, opts);
steps = fit.iterations;
level = sort(blocks.level(curve.used));
probe = [sortedQuantile(level, 0.1); sortedQuantile(level, 0.9)];
measured = alpha * probe + noiseVar - alpha * mu;
likely = fit.theta(3) * probe + fit.theta(1) - fit.theta(3) * fit.theta(2);
spread = sqrt(max(probe.^2 * curve.cov(1, 1) + 2 * probe * curve.cov(1, 2) + curve.cov(2, 2), 0));
meanAgrees = lattice.found || ~isfinite(se.mean) || ...
    abs(fit.theta(2) - mu) <= 3 * sqrt(se.mean^2 + fit.se(2)^2);
if all(abs(likely - measured) <= 3 * spread) && meanAgrees
    outcome = 'accepted';
    noiseVar = fit.theta(1);
    mu = fit.theta(2);
    alpha = fit.theta(3);
    se = struct('alpha', fit.se(3), 'mean', fit.se(2), 'var', fit.se(1));
    if lattice.found && curve.seOffset / alpha > alpha / 6
        % The likelihood's curvature is that of one multiple of alpha; which multiple rests
        % on the curve's offset, and flat blocks that still hold some signal can pick another.
        se.mean = sqrt(se.mean^2 + (curve.seOffset / alpha)^2);
    end
else
    outcome = 'rejected';
end
say(opts, 'iter', 'likelihood %s: alpha %.6g, mean %.6g, var %.6g\n', outcome, fit.theta(3), ...
    fit.theta(2), fit.theta(1));
end

function s = blockStatistics(y, usable)
% Per 8x8 block of the residual grid: the local mean with the residual's own weights (so that
% the residual's variance is alpha*level + var - alpha*mean wherever the noise variance is
% linear across the 3x3 support), the residual's mean square, the largest eigenvalue of the
% covariance of the centred gradients (white noise gives var/2; texture and edges give more),
% the mean cube of a centre-minus-neighbours residual, and the squared mean gradient.
B = 8;
h = [1 -2 1]' * [1 -2 1] / 6;
w = h.^2;
c3 = -ones(3) / 8;
c3(2, 2) = 1;
fields = {'count', 'level', 'variance', 'texture', 'cube', 'ramp', 'slice', 'row', 'col'};
s = cell2struct(repmat({zeros(0, 1)}, numel(fields), 1), fields, 1);
for k = 1:size(y, 3)
    Y = y(:, :, k);
    nr = floor((size(Y, 1) - 2) / B);
    nc = floor((size(Y, 2) - 2) / B);
    if nr < 1 || nc < 1
        continue
    end
    rows = 1:nr * B;
    cols = 1:nc * B;
    ok = conv2(double(usable(:, :, k)), ones(3), 'valid') == 9;
    ok = ok(rows, cols);
    r = conv2(Y, h, 'valid');
    m = conv2(Y, w, 'valid');
    c = conv2(Y, c3, 'valid');
    gx = (Y(2:end - 1, 3:end) - Y(2:end - 1, 1:end - 2)) / 2;
    gy = (Y(3:end, 2:end - 1) - Y(1:end - 2, 2:end - 1)) / 2;
    sums = @(A) reshape(sum(sum(reshape(A(rows, cols) .* ok, B, nr, B, nc), 1), 3), [], 1);
    n = sums(ones(size(r)));
    keep = n >= B^2 / 2;
    n = n(keep);
    pick = @(A) A(keep) ./ n;
    mx = pick(sums(gx));
    my = pick(sums(gy));
    cxx = pick(sums(gx.^2)) - mx.^2;
    cyy = pick(sums(gy.^2)) - my.^2;
    cxy = pick(sums(gx .* gy)) - mx .* my;
    [br, bc] = ndgrid(1:nr, 1:nc);
    s.count = [s.count; n];
    s.level = [s.level; pick(sums(m))];
    s.variance = [s.variance; pick(sums(r.^2))];
    s.texture = [s.texture; (cxx + cyy) / 2 + sqrt(((cxx - cyy) / 2).^2 + cxy.^2)];
    s.cube = [s.cube; pick(sums(c.^3)) / (1 - 8 / 512)];
    s.ramp = [s.ramp; (mx.^2 + my.^2) * (B^2 - 1) / 12];
    s.slice = [s.slice; k * ones(nnz(keep), 1)];
    s.row = [s.row; br(keep)];
    s.col = [s.col; bc(keep)];
end
end

function [pairs, values] = neighbourPairs(y, usable)
% Horizontal neighbours that are both usable, and every usable value.
pairs = zeros(0, 2);
for k = 1:size(y, 3)
    both = usable(:, 1:end - 1, k) & usable(:, 2:end, k);
    left = y(:, 1:end - 1, k);
    right = y(:, 2:end, k);
    pairs = [pairs; left(both) right(both)]; %#ok<AGROW>
end
values = y(usable);
end

function [values, groups] = blockPixels(y, blocks, chosen, side)
% The pixels of the chosen blocks in groups of side x side, one group's values after another.
B = 8;
idx = find(chosen);
values = zeros(B, B, numel(idx));
for j = 1:numel(idx)
    k = idx(j);
    r0 = 1 + (blocks.row(k) - 1) * B;
    c0 = 1 + (blocks.col(k) - 1) * B;
    values(:, :, j) = y(r0 + (1:B), c0 + (1:B), blocks.slice(k));
end
per = B / side;
values = reshape(values, side, per, side, per, []);
values = reshape(permute(values, [1 3 2 4 5]), side^2, []);
groups = reshape(repmat(1:size(values, 2), side^2, 1), [], 1);
values = values(:);
end

function c = fitNoiseCurve(level, variance, texture, count, opts)
% Reweighted least squares of block variance on block level, alternating with the choice of
% blocks: a block is left out when its gradients vary more than twice what noise of the fitted
% level gives (0.1 % of noise-only blocks go past 2), or its variance is three times the fit.
% The start takes, in ten bins of level, the lower quartile of the variances over 0.8, the
% lower quartile's share of the mean for noise-only blocks, as textures only add variance.
fixedBoth = ~isempty(opts.mean) && ~isempty(opts.var);
nb = max(1, min(10, floor(numel(level) / 4)));
[unused, order] = sort(level); %#ok<ASGLU>
edges = round(linspace(0, numel(level), nb + 1));
binLevel = zeros(nb, 1);
binVariance = zeros(nb, 1);
for j = 1:nb
    idx = order(edges(j) + 1:edges(j + 1));
    binLevel(j) = mean(level(idx));
    binVariance(j) = sortedQuantile(sort(variance(idx)), 0.25) / 0.8;
end
[a, b] = lineFit(binLevel, binVariance, ones(nb, 1), fixedBoth, opts);
floorVar = 1e-3 * max(median(variance), realmin);
used = true(size(level));
for it = 1:30
    s2 = max(a * level + b, floorVar);
    used = texture ./ (s2 / 2) < 2 & variance ./ s2 < 3;
    if nnz(used) < 2
        used = true(size(level));
    end
    [an, bn] = lineFit(level(used), variance(used), count(used) ./ s2(used).^2, fixedBoth, opts);
    done = abs(an - a) <= 1e-9 * abs(a) && abs(bn - b) <= 1e-9 * max(abs(b), abs(a) * mean(level));
    a = an;
    b = bn;
    if done
        break
    end
end
s2 = max(a * level + b, floorVar);
wt = count(used) ./ s2(used).^2;
resid = variance(used) - a * level(used) - b;
if fixedBoth
    u = level(used) - opts.mean;
    varA = (sum(wt .* resid.^2) / max(nnz(used) - 1, 1)) / sum(wt .* u.^2);
    cov = varA * [1, -opts.mean; -opts.mean, opts.mean^2];
else
    A = [level(used) ones(nnz(used), 1)];
    cov = (sum(wt .* resid.^2) / max(nnz(used) - 2, 1)) * pinv(A' * bsxfun(@times, A, wt));
end
c = struct('alpha', a, 'offset', b, 'used', used, 'iterations', it, 'cov', cov, ...
    'seAlpha', sqrt(cov(1, 1)), 'seOffset', sqrt(cov(2, 2)));
% No positive slope: the data hold no Poisson part that can be told apart; alpha stays
% positive, far below the noise it would explain, and is marked as not identified.
if c.alpha <= 0
    c.alpha = 1e-6 * sqrt(max(median(variance(used)), realmin));
    c.offset = mean(variance(used)) - c.alpha * mean(level(used));
    c.seAlpha = Inf;
end
end

function [a, b] = lineFit(level, variance, wt, fixedBoth, opts)
if fixedBoth
    % variance - var = alpha*(level - mean)
    u = level - opts.mean;
    a = sum(wt .* u .* (variance - opts.var)) / sum(wt .* u.^2);
    b = opts.var - a * opts.mean;
    return
end
A = [level ones(numel(level), 1)];
p = pinv(A' * bsxfun(@times, A, wt)) * (A' * (wt .* variance));
a = p(1);
b = p(2);
end

function q = sortedQuantile(sorted, p)
% Linear interpolation between order statistics, of data already sorted.
n = numel(sorted);
pos = 1 + p * (n - 1);
lo = floor(pos);
hi = min(lo + 1, n);
q = sorted(lo) + (pos - lo) * (sorted(hi) - sorted(lo));
end

function say(opts, level, varargin)
if strcmp(opts.display, 'iter') || (strcmp(level, 'final') && strcmp(opts.display, 'final'))
    fprintf(['pgnoisefit: ' varargin{1}], varargin{2:end});
end
end

function L = findLattice(pairs, values, a, seA, opts)
% Differences d of pairs that share their intensity are alpha*(n1 - n2) plus a Gaussian of
% variance 2*var, so E[cos(2*pi*d/alpha)] = exp(-4*pi^2*var/alpha^2) whatever the image holds,
% and away from 2*pi/alpha the Poisson part makes it fall within about 1/sqrt(x) in phase. A
% scan over alpha around the curve's slope, on the darkest pairs (widest peak), finds it where
% it stands six standard deviations above the noise of the mean (the largest of some hundreds
% of scan points of noise alone stays below four); all pairs then refine it.
L = struct('found', false);
d = pairs(:, 2) - pairs(:, 1);
if numel(d) < 200
    return
end
[unused, order] = sort(sum(pairs, 2)); %#ok<ASGLU>
dark = d(order(1:min(numel(d), max(20000, ceil(numel(d) / 4)))));
xDark = max(mean(dark.^2) / (2 * a^2), 1);
span = min(0.3, max(0.1, 6 * seA / a));
step = 0.3 / (2 * pi * sqrt(xDark));
r = linspace(-span, span, min(2001, max(21, ceil(2 * span / step) + 1)));
D = zeros(size(r));
for j = 1:numel(r)
    D(j) = mean(cos((2 * pi / (a * (1 + r(j)))) * dark));
end
[best, j] = max(D);
if best < 6 / sqrt(2 * numel(dark))
    return
end
% Golden section on all pairs, within a step of the scan's best.
lo = r(max(j - 1, 1));
hi = r(min(j + 1, numel(r)));
g = (sqrt(5) - 1) / 2;
objective = @(rr) -mean(cos((2 * pi / (a * (1 + rr))) * d));
x1 = hi - g * (hi - lo);
x2 = lo + g * (hi - lo);
f1 = objective(x1);
f2 = objective(x2);
for it = 1:25
    if f1 < f2
        hi = x2; x2 = x1; f2 = f1; x1 = hi - g * (hi - lo); f1 = objective(x1);
    else
        lo = x1; x1 = x2; f1 = f2; x2 = lo + g * (hi - lo); f2 = objective(x2);
    end
end
alpha = a * (1 + (lo + hi) / 2);
t = 2 * pi / alpha;
c = cos(t * d);
Dall = mean(c);
seD = std(c) / sqrt(numel(d));
if Dall < 6 * seD || Dall >= 1
    return
end
% The spread of the maximiser: the slope's noise over the curvature at the top.
slope = sin(t * d) .* d;
h = 0.02 / sqrt(xDark + 1) / (2 * pi);
curvature = (mean(cos(2 * pi / (alpha * (1 + h)) * d)) + mean(cos(2 * pi / (alpha * (1 - h)) * d)) ...
    - 2 * Dall) / (t * h)^2;
phi = mean(exp(1i * t * values));
L = struct('found', true, 'alpha', alpha, 'var', -log(Dall) / t^2, ...
    'phaseMean', angle(phi) / t, 'seVar', seD / (Dall * t^2), ...
    'seAlpha', alpha^2 / (2 * pi) * std(slope) / sqrt(numel(d)) / max(abs(curvature), realmin));
if ~isempty(opts.var)
    L.var = opts.var;
end
end

function [mu, noiseVar] = fromLattice(L, alpha, offset, opts)
% The phase gives mean modulo alpha; the curve's offset, var - alpha*mean, picks the multiple.
noiseVar = L.var;
if ~isempty(opts.mean)
    mu = opts.mean;
    if isempty(opts.var)
        noiseVar = L.var;
    end
    return
end
guess = (noiseVar - offset) / alpha;
mu = L.phaseMean + alpha * round((guess - L.phaseMean) / alpha);
end

function [mu, noiseVar, seMean] = splitOffset(alpha, offset, blocks, used, opts)
% The third cumulant alpha^2*(E[y] - mean) of each block's centre-minus-neighbours residual,
% weighted by the inverse of its variance (as the noise's sixth power over the count).
seMean = NaN;
if ~isempty(opts.mean)
    mu = opts.mean;
    noiseVar = isemptyOr(opts.var, max(offset + alpha * mu, ...
        1e-3 * max(alpha * min(blocks.level(used)) + offset, realmin)));
    return
end
if ~isempty(opts.var)
    noiseVar = opts.var;
    mu = (noiseVar - offset) / alpha;
    return
end
s2 = max(alpha * blocks.level(used) + offset, realmin);
w = blocks.count(used) ./ s2.^3;
each = blocks.level(used) - blocks.cube(used) / alpha^2;
mu = sum(w .* each) / sum(w);
seMean = sqrt(sum(w .* (each - mu).^2) / sum(w) / max(nnz(used) - 1, 1));
[mu, noiseVar] = feasible(mu, alpha, offset, blocks.level(used));
end

function [mu, noiseVar] = feasible(mu, alpha, offset, level)
% var must stay positive and the intensities non-negative (mean at most the darkest level);
% where both cannot hold, var keeps a thousandth of the darkest level's noise.
darkest = min(level);
floorVar = 1e-3 * max(alpha * darkest + offset, realmin);
mu = min(max(mu, (floorVar - offset) / alpha), darkest);
noiseVar = max(offset + alpha * mu, floorVar);
end

function v = isemptyOr(value, fallback)
if isempty(value)
    v = fallback;
else
    v = value;
end
end

% ---------------------------------------------------------------------------------------------
% Maximum likelihood over the noise parameters, every group's intensity a free parameter.

function fit = profileFit(yv, grp, theta, free, lattice, observed, opts)
% The negative log-likelihood profiled over each group's intensity x (its exact maximiser
% for the current noise parameters), plus the Cox-Reid adjustment 1/2*sum log J, J the
% information of a group's expected value alpha*x + mean: without it the noise of groups of
% k values comes out a factor (k-1)/k too small, as with the variance of k values about their
% own mean. With observed true (a stack: each group one pixel's frames, one x for certain)
% J is the exact likelihood's observed curvature (groupCurvature); otherwise (blocks of one
% image) its Gaussian form k/(alpha^2*x + var), see gaussianCurvature.
%
% With mean and var both free the search runs in z = [(var - alpha*mean)/scale^2;
% mean/scale; log(alpha)]: the noise curve's offset held apart from mean, so that the ridge
% along which only the noise's shape tells mean from var is one coordinate, and its small
% curvature is not lost among the large ones. Otherwise z = [log(var); mean/scale;
% log(alpha)]. Newton steps on a Hessian of differenced gradients kept up to date by BFGS,
% with backtracking; standard errors from the differenced Hessian at the end.
%
% Where no lattice was found, var is held above the level at which the lattice the model
% implies would move the summed likelihood by a hundredth: below it the likelihood ripples in
% mean with period alpha (the lattice's phase against noise that has none), whose local
% minima would hold the search and whose curvature would give standard errors far too small.
% For the same reason the curvature there is taken over a whole period of mean.
G = max(grp);
group.index = grp;
group.count = accumarray(grp, 1, [G 1]);
group.mean = accumarray(grp, yv, [G 1]) ./ group.count;
par.scale = sqrt(theta(1) + theta(3)^2);
par.ridge = free(1) && free(2);
par.fixed = ~free;
par.start = theta;
par.observed = observed;
par.floor = 0;
steps = 1e-4 * ones(3, 1);
if ~lattice
    par.floor = theta(3)^2 * log(100 * sqrt(numel(yv))) / (2 * pi^2);
    steps = [0.05; theta(3) / par.scale; 2e-3];
    if par.ridge
        steps(1) = 0.05 * max(theta(1), par.floor) / par.scale^2;
    end
end
z = project(toZ(theta, par), par);
xh = max((group.mean - theta(2)) / theta(3), 0);
[f, g, xh] = adjustedProfile(z, xh, yv, group, par);
H = differencedHessian(z, g, xh, yv, group, par, free, steps);
cap = [1; 3; 0.5];
iterations = 0;
for it = 1:50
    iterations = it;
    step = zeros(3, 1);
    step(free) = -positiveSolve(H(free, free), g(free));
    shrink = max(abs(step) ./ cap);
    if shrink > 1
        step = step / shrink;
    end
    % Done when the step promises less than 1e-4 in the adjusted nll, whose curvature
    % makes one standard error worth 0.5.
    slope = g' * step;
    if slope > -1e-4
        break
    end
    t = 1;
    accepted = false;
    for k = 1:12
        zn = project(z + t * step, par);
        [fn, gn, xn] = adjustedProfile(zn, xh, yv, group, par);
        if isfinite(fn) && fn <= f + 1e-4 * (g' * (zn - z))
            accepted = true;
            break
        end
        t = t / 2;
    end
    if ~accepted
        break
    end
    s = zn - z;
    dg = gn - g;
    decrease = f - fn;
    z = zn;
    f = fn;
    g = gn;
    xh = xn;
    if s(free)' * dg(free) > 0
        Hs = H(free, free) * s(free);
        H(free, free) = H(free, free) - (Hs * Hs') / (s(free)' * Hs) + ...
            (dg(free) * dg(free)') / (s(free)' * dg(free));
    end
    th = fromZ(z, par);
    say(opts, 'iter', 'likelihood step %d: alpha %.6g, mean %.6g, var %.6g, adjusted nll %.10g\n', ...
        it, th(3), th(2), th(1), f);
    if decrease < 1e-6
        break
    end
end
H = differencedHessian(z, g, xh, yv, group, par, free, steps);
% A direction of no curvature (or negative, against the floor) gets an error past any scale.
[V, E] = eig((H(free, free) + H(free, free)') / 2);
e = diag(E);
e = max(e, 1e-12 * max(abs(e)) + 1e-200);
covZ = zeros(3);
covZ(free, free) = V * diag(1 ./ e) * V';
theta = fromZ(z, par);
J = thetaJacobian(z, par);
covTheta = J * covZ * J';
fit = struct('theta', theta, 'x', xh, 'f', f, 'iterations', iterations, ...
    'atFloor', theta(1) <= par.floor * (1 + 1e-9), 'se', sqrt(max(diag(covTheta), 0)));
end

function z = toZ(theta, par)
if par.ridge
    z = [(theta(1) - theta(3) * theta(2)) / par.scale^2; theta(2) / par.scale; log(theta(3))];
else
    z = [log(theta(1)); theta(2) / par.scale; log(theta(3))];
end
end

function theta = fromZ(z, par)
a = exp(z(3));
mu = z(2) * par.scale;
if par.ridge
    theta = [z(1) * par.scale^2 + a * mu; mu; a];
else
    theta = [exp(z(1)); mu; a];
    % A known value stays exactly as given, not as it comes back through z.
    theta(par.fixed) = par.start(par.fixed);
end
end

function z = project(z, par)
% var at least the floor, by raising the offset (or log var) alone.
if par.ridge
    z(1) = max(z(1), (par.floor - exp(z(3)) * z(2) * par.scale) / par.scale^2);
elseif par.floor > 0
    z(1) = max(z(1), log(par.floor));
end
end

function J = thetaJacobian(z, par)
% d(var, mean, alpha)/dz
a = exp(z(3));
mu = z(2) * par.scale;
if par.ridge
    J = [par.scale^2, a * par.scale, a * mu; 0, par.scale, 0; 0, 0, a];
else
    J = diag([exp(z(1)); par.scale; a]);
end
end

function [f, grad, xh] = adjustedProfile(z, xh, yv, group, par)
theta = fromZ(z, par);
xh = groupIntensities(yv, group, theta(1), theta(2), theta(3), xh);
[unused, nll, dnll] = likelihood(xh(group.index), yv, theta(1), theta(2), theta(3)); %#ok<ASGLU>
if par.observed
    [logJ, dLogJ] = groupCurvature(xh, yv, group, theta, ~par.fixed);
else
    [logJ, dLogJ] = gaussianCurvature(xh, theta);
end
f = nll + logJ / 2;
grad = thetaJacobian(z, par)' * (dnll + dLogJ / 2);
end

function [logJ, dLogJ] = gaussianCurvature(xh, theta)
% The sum over groups of log J in its Gaussian form, J = k/(alpha^2*x + var) up to the
% constant k, and its derivatives in (var, mean, alpha) with each group's expected value
% alpha*x + mean held. For groups that are blocks of one image: blocks that pass as flat still
% hold some signal, whose spread the observed curvature would read as the noise's shape
% (measured on the photographs at 20 photons, alpha 0.5, var 36: alpha 20 to 66 % off with
% it, 4 to 17 % with this form).
v = theta(1);
a = theta(3);
s2 = a^2 * xh + v;
logJ = -sum(log(s2));
dLogJ = [-sum(1 ./ s2); sum(a ./ s2); -sum(a * xh ./ s2)];
end

function [logJ, dLogJ] = groupCurvature(xh, yv, group, theta, free)
% The sum over groups of log J, J the observed information of a group's expected value
% alpha*x + mean at its maximum: the exact likelihood's curvature in x over alpha^2, from the
% group's summed gradient at x-hat - h, x-hat, x-hat + h (h a thousandth of x's standard
% error). Its derivatives in (var, mean, alpha) follow x-hat as it moves, dx-hat/dtheta =
% -(dG/dtheta)/(dG/dx), each from the gradients again at a nearby theta.
%
% Why not the Gaussian form k/(alpha^2*x + var): along the ridge where var - alpha*mean and
% the expected values are fixed it does not move at all, yet there the profile sees each
% group's skewness about its own fitted intensity, which falls short of the third cumulant by
% the factor (k-1)*(k-2)/k^2, and so pushes mean and var up the ridge (16 frames of the camera
% photograph at var 16, 8 draws: mean +1.5, var +3.8, about 1.5 standard errors). The
% observed curvature carries the noise's shape and takes that out with the rest: the adjusted
% profile is then the Laplace approximation of each group's likelihood integrated over its
% expected value (the same 8 draws: mean -0.1, var -0.2, within their spread).
v = theta(1);
mu = theta(2);
a = theta(3);
fisher = group.count * a^2 ./ (a^2 * xh + v);
h = 1e-3 ./ sqrt(fisher);
lo = max(xh - h, 0);
% The stencil is shifted up where x-hat sits within h of 0.
[j, slope, Gsum] = stencil(lo, h, yv, group, theta, nargout > 1);
% Where the maximum lies on x = 0 the curvature there can have either sign: held above a
% hundredth of the Gaussian form.
j = max(j, 1e-2 * fisher);
logJ = sum(log(j)) - 2 * numel(xh) * log(a);
dLogJ = zeros(3, 1);
if nargout < 2
    return
end
scale = sqrt(v + a^2);
delta = 1e-4 * [scale^2; scale; a];
moving = xh > 0;
for k = find(free(:)')
    tk = theta;
    tk(k) = tk(k) + delta(k);
    [jk, unused, Gk] = stencil(lo, h, yv, group, tk, false); %#ok<ASGLU>
    jk = max(jk, 1e-2 * fisher);
    % x-hat at tk, to first order, moves the stencil's centre by dx; log j with it.
    dx = zeros(size(xh));
    dx(moving) = -(Gk(moving) - Gsum(moving)) ./ j(moving);
    dLogJ(k) = sum(log(jk ./ j) + slope ./ j .* dx) / delta(k);
end
dLogJ(3) = dLogJ(3) - 2 * numel(xh) / a;
end

function [j, slope, Gsum] = stencil(lo, h, yv, group, theta, withSlope)
% The group's summed gradient at lo and lo + 2h: its derivative in x at the centre (j) and
% their mean (Gsum, the gradient at the centre to within h^2); with the centre too, the
% derivative of j in x (slope).
G = @(x) accumarray(group.index, pglikmt(x(group.index), yv, theta(1), theta(2), theta(3)), ...
    size(x));
Glo = G(lo);
Ghi = G(lo + 2 * h);
j = (Ghi - Glo) ./ (2 * h);
Gsum = (Ghi + Glo) / 2;
slope = zeros(size(lo));
if withSlope
    slope = (Ghi - 2 * G(lo + h) + Glo) ./ h.^2;
end
end

function f = profileValue(yv, grp, theta)
G = max(grp);
group.index = grp;
group.count = accumarray(grp, 1, [G 1]);
group.mean = accumarray(grp, yv, [G 1]) ./ group.count;
xh = groupIntensities(yv, group, theta(1), theta(2), theta(3), ...
    max((group.mean - theta(2)) / theta(3), 0));
[unused, nll] = pglikmt(xh(grp), yv, theta(1), theta(2), theta(3)); %#ok<ASGLU>
f = nll + gaussianCurvature(xh, theta) / 2;
end

function xh = groupIntensities(yv, group, v, mu, a, xh)
% Each group's maximum-likelihood intensity: the sum of its values' gradients in x set to
% zero, x >= 0. The first step scores on the Gaussian information k*alpha^2/(alpha^2*x + var)
% (the Poisson's k/x where var is small); then secant steps, which take the slope from the
% last two points and so follow the lattice's information too, where the Gaussian's is far
% off; a secant slope that is not positive falls back to scoring.
fisher = group.count * a^2 ./ (a^2 * xh + v);
total = accumarray(group.index, pglikmt(xh(group.index), yv, v, mu, a), size(xh));
for it = 1:50
    if it == 1
        slope = fisher;
    else
        slope = (total - lastTotal) ./ (xh - lastX);
        bad = ~(slope > 0) | ~isfinite(slope);
        slope(bad) = fisher(bad);
    end
    xn = max(xh - total ./ slope, 0);
    change = max(abs(xn - xh) .* sqrt(fisher));
    lastX = xh;
    lastTotal = total;
    xh = xn;
    if change < 1e-5
        break
    end
    fisher = group.count * a^2 ./ (a^2 * xh + v);
    total = accumarray(group.index, pglikmt(xh(group.index), yv, v, mu, a), size(xh));
end
end

function H = differencedHessian(z, g, xh, yv, group, par, free, steps)
H = eye(3);
for k = find(free(:)')
    e = zeros(3, 1);
    e(k) = steps(k);
    [unused, gk] = adjustedProfile(z + e, xh, yv, group, par); %#ok<ASGLU>
    H(:, k) = (gk - g) / steps(k);
end
H(free, free) = (H(free, free) + H(free, free)') / 2;
end

function s = positiveSolve(H, g)
% H \ g with H's eigenvalues held above a millionth of its largest, so a direction the data
% do not determine takes a bounded step rather than an unbounded one.
[V, E] = eig((H + H') / 2);
e = diag(E);
e = max(e, 1e-6 * max(abs(e)) + realmin);
s = V * ((V' * g) ./ e);
end

% ---------------------------------------------------------------------------------------------
% A stack of exposures.

function [alpha, mu, noiseVar, info] = fitFrames(y, opts)
sz = size(y);
frames = sz(end);
Y = reshape(y, [], frames);
U = Y < opts.saturation;
n = sum(U, 2);
keep = n >= 2;
if nnz(keep) < 2
    error('pgmex:pgnoisefit:yTooSmall', ['Input y is too small to fit: at least two pixels with ' ...
        'two unsaturated frames each are needed.']);
end
Y = Y(keep, :);
U = U(keep, :);
n = n(keep);
level = sum(Y .* U, 2) ./ n;
dev = bsxfun(@minus, Y, level) .* U;
variance = sum(dev.^2, 2) ./ (n - 1);
if ~any(variance > (1e3 * eps * max(abs(Y(:))))^2)
    error('pgmex:pgnoisefit:yConstant', 'Input y holds no noise to fit: no pixel changes between frames.');
end
% Each pixel's unbiased third cumulant over its frames (k-statistic), where it has three.
cube = n .* sum(dev.^3, 2) ./ max((n - 1) .* (n - 2), 1);
cube(n < 3) = 0;
% Pixel variances weigh as (n-1)/(2*sigma^4); no texture to leave out.
fixedBoth = ~isempty(opts.mean) && ~isempty(opts.var);
[a, b] = lineFit(level, variance, n - 1, fixedBoth, opts);
floorVar = 1e-3 * max(median(variance), realmin);
for it = 1:20
    s2 = max(a * level + b, floorVar);
    [an, bn] = lineFit(level, variance, (n - 1) ./ s2.^2, fixedBoth, opts);
    done = abs(an - a) <= 1e-9 * abs(a) && abs(bn - b) <= 1e-9 * max(abs(b), abs(a) * mean(level));
    a = an;
    b = bn;
    if done
        break
    end
end
curveIterations = it;
if a <= 0
    a = 1e-6 * sqrt(max(median(variance), realmin));
    b = mean(variance) - a * mean(level);
end
alpha = a;
offset = b;
say(opts, 'iter', 'curve: %d reweighted fits on %d pixels: alpha %.6g, var - alpha*mean %.6g\n', ...
    curveIterations, numel(level), alpha, offset);

lattice = struct('found', false);
if isempty(opts.mean) || isempty(opts.var)
    both = U(:, 1:end - 1) & U(:, 2:end);
    first = Y(:, 1:end - 1);
    second = Y(:, 2:end);
    lattice = findLattice([first(both) second(both)], Y(U), alpha, 0.05 * alpha, opts);
end
seMean = NaN;
if lattice.found
    alpha = lattice.alpha;
    s2 = max(alpha * level + offset, floorVar);
    w = (n - 1) ./ s2.^2;
    offset = sum(w .* (variance - alpha * level)) / sum(w);
    [mu, noiseVar] = fromLattice(lattice, alpha, offset, opts);
elseif ~isempty(opts.mean) || ~isempty(opts.var)
    mu = isemptyOr(opts.mean, (isemptyOr(opts.var, 0) - offset) / alpha);
    noiseVar = isemptyOr(opts.var, offset + alpha * mu);
else
    s2 = max(alpha * level + offset, floorVar);
    w = n ./ s2.^3;
    w(n < 3) = 0;
    each = level - cube / alpha^2;
    mu = sum(w .* each) / sum(w);
    seMean = sqrt(sum(w .* (each - mu).^2) / sum(w) / max(nnz(w) - 1, 1));
    [mu, noiseVar] = feasible(mu, alpha, offset, level);
end
say(opts, 'iter', 'start: alpha %.6g, mean %.6g, var %.6g%s\n', alpha, mu, noiseVar, ...
    repmat(' (lattice)', 1, double(lattice.found)));

free = [isempty(opts.var); isempty(opts.mean); true];
[pixel, unused] = find(U); %#ok<NASGU>
fit = profileFit(Y(U), pixel, [noiseVar; mu; alpha], free, lattice.found, true, opts);
noiseVar = fit.theta(1);
mu = fit.theta(2);
alpha = fit.theta(3);
se = struct('alpha', fit.se(3), 'mean', fit.se(2), 'var', fit.se(1));
info = struct('method', 'frames', 'levels', level, 'variances', variance, 'used', true(size(level)), ...
    'fitted', alpha * level + noiseVar - alpha * mu, 'lattice', lattice.found, ...
    'identified', identified(alpha, noiseVar, se), 'stderr', se, ...
    'iterations', struct('curve', curveIterations, 'likelihood', fit.iterations), ...
    'likelihood', 'accepted');
end

function id = identified(alpha, noiseVar, se)
% A parameter counts as identified when the data pin it to a tenth of itself (alpha, var), or
% the mean to half the Gaussian part's standard deviation.
id = struct('alpha', se.alpha < 0.1 * alpha, 'mean', se.mean < 0.5 * sqrt(noiseVar), ...
    'var', se.var < 0.1 * noiseVar);
end

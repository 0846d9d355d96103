function [x, info] = pgrestore(y, alpha, mu, noiseVar, varargin)
%PGRESTORE  Restore an image through Poisson-Gaussian noise and blur, in one call.
%   X = PGRESTORE(Y, ALPHA, MEAN, VAR)
%   X = PGRESTORE(Y, ALPHA, MEAN, VAR, Name, Value, ...)
%   [X, INFO] = PGRESTORE(...)
%
%   Y is a 2-D or 3-D image observed as Y = ALPHA*n + g, n ~ Poisson(H*X) and
%   g ~ N(MEAN, VAR) independently per pixel: X >= 0 holds the photon counts,
%   H is a blur (the identity without a PSF). PGRESTORE returns the X of Y's size
%   that minimises
%
%     -log p(Y | H*X) + LAMBDA * TV(X)
%
%   over LOWER <= X <= UPPER: natural log, the full density with its constants
%   (the nll that PGLIKMT gives for 'exact'), and TV isotropic, each pixel's
%   forward differences (2, or 3 in 3-D, divided by the spacing; zero past the
%   last pixel) taken as one group under the Euclidean norm.
%
%   Y is a full real double array, finite. ALPHA and VAR are positive finite
%   scalars, MEAN a finite scalar (the gain, the variance and the offset of the
%   read noise). Any of them given as [] is estimated from Y by PGNOISEFIT,
%   the others held: X = PGRESTORE(Y, [], [], []) restores with all three
%   estimated.
%
%   Options (Name, Value; names in any case):
%     'PSF'           nonnegative 2-D or 3-D kernel, no larger than Y, centred
%                     at element floor(size/2)+1 and scaled to sum 1 (its gain
%                     belongs to ALPHA). Default: none, denoising.
%     'Boundary'      'unknown' (default with a PSF): X reaches past Y's edges
%                     by the PSF's extent, only the observed pixels enter the
%                     likelihood, and X is cropped back to Y's size, so real data
%                     show no wrap-around ringing. 'periodic': H wraps around.
%     'Lambda'        'auto' (default) or a nonnegative scalar; see below.
%     'Likelihood'    the data term:
%                       'exact'     the Poisson-Gaussian density (PGLIKMT,
%                                   PGPROXMT)
%                       'shifted'   (Y-MEAN)/ALPHA + VAR/ALPHA^2, clipped at 0,
%                                   as Poisson(H*X + VAR/ALPHA^2)
%                       'gaussian'  N(Y; ALPHA*H*X + MEAN, ALPHA^2*H*X + VAR)
%                     Default: 'shifted' without a PSF, 'exact' with one,
%                     the best measured on photographs at 1 to 5 photons
%                     (in denoising the exact likelihood's estimate lost
%                     2 to 7 % of its photons to TV and up to 1.2 dB; see
%                     docs/restoration.md).
%     'Spacing'       element sizes, one per dimension of Y (for instance a
%                     coarser z in microscopy); the differences are divided by
%                     them. Default: ones.
%     'MaxIterations' per solve, default 2000.
%     'Tolerance'     stop when, at a check (every 10 iterations), both the
%                     relative change of X over one iteration and the change
%                     of the objective since the last check, relative to the
%                     larger of the objective and the number of pixels, are at
%                     most this. Default 1e-5. (The objective's constants can
%                     all but cancel, hence its floor of one per pixel.)
%     'Lower', 'Upper' bounds on X, default 0 and Inf.
%     'Init'          starting X, of Y's size. Default: (Y - MEAN)/ALPHA
%                     within the bounds.
%     'Display'       'off' (default), 'final' (one line), 'iter' (a line per
%                     check: iteration, objective, relative change, LAMBDA,
%                     seconds; and each LAMBDA tried).
%
%   INFO has the fields iterations (of the chain of solves that led to X),
%   objective and objectiveIterations (the objective at each check), lambda,
%   likelihood, stopReason ('tolerance' or 'maximum iterations'), seconds,
%   time (seconds in fft: H and H', the FFTs with the OTF's product; prox:
%   the data term's proximity operator and value, with a PSF the whole data
%   dual step; tv: TVPDSTEP, TV's dual step with the relaxation and the
%   residual sums; other), lambdas (for 'auto': one row per LAMBDA tried,
%   [lambda, estimated mean squared error, its sampling error, iterations so
%   far]), steps (the final tau and sigma), operators (function handles H,
%   Ht, D and Dt on the solver's domain, of size domainSize, and crop, which
%   takes that domain to Y's size), noise ([ALPHA, MEAN, VAR] as used) and
%   estimated (which of the three PGNOISEFIT gave).
%
%   Method. Chambolle and Pock's primal-dual method, over-relaxed by 1.9
%   (Condat's form), with the data term taken through its proximity operator:
%   without a PSF the primal step is that operator (PGPROXMT for 'exact',
%   SHIFTPROXMT for 'shifted', a closed form for 'gaussian') and K = D, the
%   differences; with one, the primal step is the projection on the bounds,
%   K = [H; D] with H by FFT, and the data term enters through Moreau's
%   identity, its dual step in one compiled pass by DATAPDSTEP for 'exact'
%   and 'shifted' (the same bits as the array formulas). TV's dual step is
%   the projection on the LAMBDA-balls, v - GROUPSHRINKMT(v, ..., LAMBDA),
%   taken with the relaxation in one compiled pass by TVPDSTEP (the same
%   bits). The steps satisfy tau*sigma*||K||^2 <= 1 with ||D||^2 <=
%   4*sum(1./SPACING.^2) and ||H|| = max|fft(PSF)| <= 1; their ratio is
%   balanced by the residuals (Goldstein et al.) with a weight that shrinks
%   geometrically, so the steps settle and the method converges for any
%   convex data term and any LAMBDA:
%   'exact' and 'shifted' are convex in H*X (the posterior of n is
%   ultra-log-concave, so Var[n | y] <= E[n | y]), no Lipschitz constant and
%   no step search is needed. 'gaussian' is not convex where
%   H*X + VAR/ALPHA^2 > 2*((Y - MEAN)/ALPHA + VAR/ALPHA^2)^2 (dark pixels):
%   its proximity point is the global minimiser of a cubic's roots, and no
%   convergence is promised for it.
%
%   LAMBDA 'auto'. LAMBDA minimises an estimate of the mean squared error of
%   H*X (of X when denoising) that needs no truth: with u = (Y - MEAN)/ALPHA
%   and s = VAR/ALPHA^2, Stein's and Hudson's identities give
%     E||H*X - H*X0||^2 = E[||H*X - u||^2 - sum(u) - N*s + 2*sum((u + s).*d)]
%   where d(i) is the fall of (H*X)(i) when pixel i loses one photon. The d(i)
%   come from four more solves per LAMBDA, each on data with a photon taken
%   off 0.5 to 2 % of the pixels (more where u + s is larger) and put on as
%   many others (fixed patterns; the caller's random generators are left as
%   they were), less the response of the pixels left alone, averaged. LAMBDA
%   is bracketed by factors of 1.6 from 1.1/sqrt(mean(u) + s) (divided by 1.7
%   with a PSF) and refined by parabolic steps in log(LAMBDA); the LAMBDA
%   tried with the least estimate is taken.
%
%   Errors (identifier pgmex:pgrestore:...), all checked before any work:
%     notEnoughInputs      fewer than four inputs
%     yNotDouble           Y not a full real double array
%     yNotImage            Y empty or of more than three dimensions
%     yNotFinite           Y holds NaN or Inf
%     alphaNotPositive     ALPHA not a positive finite real double scalar
%     meanNotFinite        MEAN not a finite real double scalar
%     varNotPositive       VAR not a positive finite real double scalar
%     optionWithoutValue   an option name without its value
%     optionNotName        an option name that is not a character row
%     unknownOption        a name that is not one of the options
%     badPSF, badBoundary, badLambda, badLikelihood, badSpacing,
%     badMaxIterations, badTolerance, badLower, badUpper, badInit,
%     badDisplay           that option's value
%     badBounds            Lower not below Upper
%
%   Example:
%     y = 2.5 * poisson_counts + 10 + 4 * randn(size(poisson_counts));
%     x = pgrestore(y, 2.5, 10, 16, 'PSF', ones(5) / 25);
%
%   See also PGLIKMT, PGPROXMT, SHIFTPROXMT, TVPDSTEP, DATAPDSTEP, GROUPSHRINKMT,
%   PGNOISEFIT.

if nargin < 4
    error('pgmex:pgrestore:notEnoughInputs', ...
        'pgrestore: Y, ALPHA, MEAN and VAR are required.');
end
opts = checkInputs(y, alpha, mu, noiseVar, varargin);
started = tic;
estimated = [isempty(alpha), isempty(mu), isempty(noiseVar)];
if any(estimated)
    [alpha, mu, noiseVar] = estimateNoise(y, alpha, mu, noiseVar);
end
model = makeModel(y, alpha, mu, noiseVar, opts.likelihood);
prob = makeProblem(size(y), opts);
state = initialState(y, model, prob, opts);
timing = struct('fft', 0, 'prox', 0, 'tv', 0);
if ischar(opts.lambda)
    [state, timing, tried] = autoLambda(model, prob, state, opts, timing, started, y);
else
    [state, timing] = solve(model, prob, state, opts.lambda, opts, timing, started, ...
        opts.maxIterations, opts.tolerance);
    tried = zeros(0, 4);
end
x = cropToObserved(state.xt, prob);
seconds = toc(started);
if nargout > 1
    info = struct('iterations', state.iterations, 'objective', state.objective, ...
        'objectiveIterations', state.objectiveIterations, 'lambda', state.lambda, ...
        'likelihood', opts.likelihood, 'stopReason', state.stopReason, 'seconds', seconds, ...
        'time', struct('fft', timing.fft, 'prox', timing.prox, 'tv', timing.tv, ...
        'other', seconds - timing.fft - timing.prox - timing.tv), 'lambdas', tried, ...
        'steps', [state.tau, state.sigma], 'operators', operators(prob), ...
        'noise', [alpha, mu, noiseVar], 'estimated', estimated);
end
if strcmp(opts.display, 'final')
    fprintf('pgrestore: %s likelihood, lambda %.4g, %d iterations, objective %.10g, %s, %.2f s\n', ...
        opts.likelihood, state.lambda, state.iterations, state.objective(end), ...
        state.stopReason, seconds);
end
end

% ---------------------------------------------------------------------------
% Inputs

function opts = checkInputs(y, alpha, mu, noiseVar, args)
if ~isa(y, 'double') || issparse(y) || ~isreal(y)
    error('pgmex:pgrestore:yNotDouble', 'pgrestore: Y must be a full real double array.');
end
if isempty(y) || ndims(y) > 3 || ~ismatrix(y) && ndims(y) ~= 3
    error('pgmex:pgrestore:yNotImage', 'pgrestore: Y must be a non-empty 2-D or 3-D array.');
end
if ~all(isfinite(y(:)))
    error('pgmex:pgrestore:yNotFinite', 'pgrestore: Y must hold finite values only.');
end
% [] asks for the value to be estimated from Y.
if ~isEmptyDouble(alpha) && (~isRealScalar(alpha) || ~(alpha > 0) || ~isfinite(alpha))
    error('pgmex:pgrestore:alphaNotPositive', ...
        'pgrestore: ALPHA must be a positive finite real double scalar, or [].');
end
if ~isEmptyDouble(mu) && (~isRealScalar(mu) || ~isfinite(mu))
    error('pgmex:pgrestore:meanNotFinite', ...
        'pgrestore: MEAN must be a finite real double scalar, or [].');
end
if ~isEmptyDouble(noiseVar) && (~isRealScalar(noiseVar) || ~(noiseVar > 0) || ~isfinite(noiseVar))
    error('pgmex:pgrestore:varNotPositive', ...
        'pgrestore: VAR must be a positive finite real double scalar, or [].');
end
opts = struct('psf', [], 'boundary', '', 'lambda', 'auto', 'likelihood', '', ...
    'spacing', [], 'maxIterations', 2000, 'tolerance', 1e-5, 'lower', 0, 'upper', Inf, ...
    'init', [], 'display', 'off');
names = {'PSF', 'Boundary', 'Lambda', 'Likelihood', 'Spacing', 'MaxIterations', 'Tolerance', ...
    'Lower', 'Upper', 'Init', 'Display'};
if mod(numel(args), 2) ~= 0
    error('pgmex:pgrestore:optionWithoutValue', ...
        'pgrestore: options must come in Name, Value pairs.');
end
for k = 1:2:numel(args)
    name = args{k};
    if ~ischar(name) || size(name, 1) ~= 1
        error('pgmex:pgrestore:optionNotName', ...
            'pgrestore: argument %d must be an option name.', k + 4);
    end
    which = find(strcmpi(name, names));
    if isempty(which)
        error('pgmex:pgrestore:unknownOption', 'pgrestore: unknown option ''%s''.', name);
    end
    value = args{k + 1};
    switch names{which}
        case 'PSF'
            opts.psf = checkPsf(value, y);
        case 'Boundary'
            opts.boundary = checkChoice(value, {'periodic', 'unknown'}, 'Boundary');
        case 'Lambda'
            if ischar(value)
                opts.lambda = checkChoice(value, {'auto'}, 'Lambda');
            elseif isRealScalar(value) && value >= 0 && isfinite(value)
                opts.lambda = value;
            else
                error('pgmex:pgrestore:badLambda', ...
                    'pgrestore: Lambda must be ''auto'' or a nonnegative finite scalar.');
            end
        case 'Likelihood'
            opts.likelihood = checkChoice(value, {'exact', 'shifted', 'gaussian'}, 'Likelihood');
        case 'Spacing'
            if ~isa(value, 'double') || ~isreal(value) || ~isvector(value) || ...
                    numel(value) ~= ndims(y) || ~all(value > 0 & isfinite(value))
                error('pgmex:pgrestore:badSpacing', ...
                    'pgrestore: Spacing must hold one positive finite size per dimension of Y.');
            end
            opts.spacing = value(:)';
        case 'MaxIterations'
            if ~isRealScalar(value) || value < 1 || value ~= round(value) || ~isfinite(value)
                error('pgmex:pgrestore:badMaxIterations', ...
                    'pgrestore: MaxIterations must be a positive whole number.');
            end
            opts.maxIterations = value;
        case 'Tolerance'
            if ~isRealScalar(value) || ~(value >= 0) || ~isfinite(value)
                error('pgmex:pgrestore:badTolerance', ...
                    'pgrestore: Tolerance must be a nonnegative finite scalar.');
            end
            opts.tolerance = value;
        case 'Lower'
            if ~isRealScalar(value) || ~(value >= 0) || ~isfinite(value)
                error('pgmex:pgrestore:badLower', ...
                    'pgrestore: Lower must be a nonnegative finite scalar.');
            end
            opts.lower = value;
        case 'Upper'
            if ~isRealScalar(value) || ~(value > 0)
                error('pgmex:pgrestore:badUpper', ...
                    'pgrestore: Upper must be a positive scalar (Inf allowed).');
            end
            opts.upper = value;
        case 'Init'
            if ~isa(value, 'double') || issparse(value) || ~isreal(value) || ...
                    ~isequal(size(value), size(y)) || ~all(isfinite(value(:)))
                error('pgmex:pgrestore:badInit', ...
                    'pgrestore: Init must be a finite real double array the size of Y.');
            end
            opts.init = value;
        case 'Display'
            opts.display = checkChoice(value, {'off', 'final', 'iter'}, 'Display');
    end
end
if opts.lower >= opts.upper
    error('pgmex:pgrestore:badBounds', 'pgrestore: Lower must be below Upper.');
end
if ~isempty(opts.boundary) && isempty(opts.psf)
    % Without a blur nothing reaches past the edges: the choice has no effect.
    opts.boundary = 'periodic';
end
if isempty(opts.boundary)
    opts.boundary = 'unknown';
end
if isempty(opts.likelihood)
    % Measured best: in denoising the shifted model's upward bias offsets what TV takes from
    % the dark parts; with a blur the exact likelihood did as well or better.
    if isempty(opts.psf)
        opts.likelihood = 'shifted';
    else
        opts.likelihood = 'exact';
    end
end
if isempty(opts.spacing)
    opts.spacing = ones(1, ndims(y));
end
end

function ok = isEmptyDouble(v)
ok = isa(v, 'double') && isempty(v);
end

function [alpha, mu, noiseVar] = estimateNoise(y, alpha, mu, noiseVar)
% The missing parameters from Y alone, the known ones held: PGNOISEFIT fixes a
% given MEAN or VAR; a given ALPHA is kept over its estimate.
args = {};
if ~isempty(mu)
    args = [args, {'Mean', mu}];
end
if ~isempty(noiseVar)
    args = [args, {'Var', noiseVar}];
end
[a, m, v] = pgnoisefit(y, args{:});
if isempty(alpha)
    alpha = a;
end
mu = m;
noiseVar = v;
end

function ok = isRealScalar(v)
ok = isa(v, 'double') && isscalar(v) && isreal(v) && ~issparse(v);
end

function value = checkChoice(value, choices, name)
if ischar(value) && size(value, 1) == 1
    which = find(strcmpi(value, choices));
    if ~isempty(which)
        value = choices{which};
        return;
    end
end
error(['pgmex:pgrestore:bad' name], 'pgrestore: %s must be one of: %s.', name, ...
    strjoin(strcat('''', choices, ''''), ', '));
end

function psf = checkPsf(psf, y)
if ~isa(psf, 'double') || issparse(psf) || ~isreal(psf) || isempty(psf) || ndims(psf) > 3
    error('pgmex:pgrestore:badPSF', 'pgrestore: PSF must be a non-empty real double 2-D or 3-D array.');
end
if ~all(isfinite(psf(:))) || any(psf(:) < 0) || ~(sum(psf(:)) > 0)
    error('pgmex:pgrestore:badPSF', ...
        'pgrestore: PSF must be finite and nonnegative with a positive sum.');
end
sy = [size(y), ones(1, 3 - ndims(y))];
sp = [size(psf), ones(1, 3 - ndims(psf))];
if any(sp > sy)
    error('pgmex:pgrestore:badPSF', 'pgrestore: PSF must be no larger than Y in any dimension.');
end
psf = psf / sum(psf(:));
end

% ---------------------------------------------------------------------------
% The data term, in photon counts: t = (Hx)_i >= 0 is the Poisson mean.

function model = makeModel(y, alpha, mu, noiseVar, likelihood)
model = struct('kind', likelihood, 'y', y, 'alpha', alpha, 'mean', mu, 'var', noiseVar, ...
    's', noiseVar / alpha^2, 'u', (y - mu) / alpha, 'counts', (y - mu) / alpha, 'constant', 0);
switch likelihood
    case 'shifted'
        % (y - mean)/alpha + var/alpha^2 ~ Poisson(t + var/alpha^2), its data clipped at 0.
        model.u = max(model.u + model.s, 0);
        model.constant = sum(gammaln(model.u(:) + 1)) + numel(y) * log(alpha);
    case 'gaussian'
        model.constant = numel(y) * (log(2 * pi) / 2 + log(alpha));
end
end

function value = dataValue(t, model)
switch model.kind
    case 'exact'
        [~, value] = pglikmt(t, model.y, model.var, model.mean, model.alpha);
    case 'shifted'
        z = t(:) + model.s;
        value = sum(z - model.u(:) .* log(z)) + model.constant;
    case 'gaussian'
        z = t(:) + model.s;
        value = sum((model.u(:) - t(:)) .^ 2 ./ (2 * z) + log(z) / 2) + model.constant;
end
end

function t = dataProx(v, gamma, model)
% argmin over t >= 0 of F(t) + (t - v)^2 / (2 gamma), elementwise.
switch model.kind
    case 'exact'
        t = pgproxmt(v, model.y, gamma, model.var, model.mean, model.alpha);
    case 'shifted'
        % The stationary point of (z - u log z) + (z - s - v)^2/(2 gamma) in z = t + s is the
        % positive root of z^2 + (gamma - s - v) z - gamma u = 0, taken without cancellation.
        t = shiftproxmt(v, model.u, gamma, model.s);
    case 'gaussian'
        t = gaussianProx(v, gamma, model);
end
end

function qt = dataDualStep(q, Hxt, Hx, sigma, model)
% The data dual's step, prox of sigma F* at w = q + sigma (2 H xt - H x) by Moreau's identity:
% w - sigma prox_{F / sigma}(w / sigma). datapdstep takes it in one pass with the bits of
% these array operations.
switch model.kind
    case 'exact'
        qt = datapdstep(q, Hxt, Hx, sigma, model.y, model.var, model.mean, model.alpha);
    case 'shifted'
        qt = datapdstep(q, Hxt, Hx, sigma, model.u, model.s);
    case 'gaussian'
        w = q + sigma * (2 * Hxt - Hx);
        qt = w - sigma * gaussianProx(w / sigma, 1 / sigma, model);
end
end

function t = gaussianProx(v, gamma, model)
% In z = t + s and w = u + s the data term is w^2/(2z) + z/2 + log(z)/2 up to
% constants, whose second derivative (2w^2 - z)/(2z^3) is negative for z > 2w^2:
% not convex. 2*gamma*z^2 times the derivative of the proximal objective is the
% cubic
%   2z^3 + (gamma - 2(s + v)) z^2 + gamma z - gamma w^2,
% positive past its largest root. With one real root r the objective falls
% below r and rises above it, so over z >= s its minimiser is max(r, s); with
% three, r1 <= r2 <= r3, the minima are at r1 and r3, each clamped at s, and
% the cheaper one is taken.
s = model.s;
w2 = (model.u + s) .^ 2;
a = (gamma - 2 * (s + v)) / 2;
b = gamma / 2;
c = -gamma .* w2 / 2;
if isscalar(b)
    b = repmat(b, size(v));
end
% Depressed cubic r^3 + p r + q = 0 with z = r - a/3.
p = b - a .^ 2 / 3;
q = 2 * a .^ 3 / 27 - a .* b / 3 + c;
disc = (q / 2) .^ 2 + (p / 3) .^ 3;
high = zeros(size(v));
one = disc > 0;
% One real root: the larger cube root in magnitude, the other from their product -p/3.
qq = -q(one) / 2;
big = qq + (2 * (qq >= 0) - 1) .* sqrt(disc(one));
big = sign(big) .* abs(big) .^ (1 / 3);
high(one) = big - p(one) ./ (3 * big);
three = ~one;
low = [];
if any(three(:))
    % theta in [0, pi/3]: cos(theta) is the largest root, cos(theta + 2 pi/3) the smallest.
    pt = p(three);
    m = 2 * sqrt(-pt / 3);
    theta = acos(min(max(3 * q(three) ./ (pt .* m), -1), 1)) / 3;
    high(three) = m .* cos(theta);
    low = m .* cos(theta + 2 * pi / 3) - a(three) / 3;
end
high = high - a / 3;
% Two Newton steps on the cubic polish the rounding of the closed forms.
for k = 1:2
    high = polish(high, a, b, c);
    if ~isempty(low)
        low = polish(low, a(three), b(three), c(three));
    end
end
z = max(high, s);
if ~isempty(low)
    z1 = max(low, s);
    z3 = z(three);
    dv = s + v(three);
    g = b(three) * 2;
    w = w2(three);
    cost1 = w ./ (2 * z1) + z1 / 2 + log(z1) / 2 + (z1 - dv) .^ 2 ./ (2 * g);
    cost3 = w ./ (2 * z3) + z3 / 2 + log(z3) / 2 + (z3 - dv) .^ 2 ./ (2 * g);
    z3(cost1 < cost3) = z1(cost1 < cost3);
    z(three) = z3;
end
t = z - s;
end

function r = polish(r, a, b, c)
f = ((r + a) .* r + b) .* r + c;
df = (3 * r + 2 * a) .* r + b;
ok = df ~= 0;
r(ok) = r(ok) - f(ok) ./ df(ok);
end

% ---------------------------------------------------------------------------
% Operators: H (blur) and D (differences) on the domain of x.

function ops = operators(prob)
% Handles for checking a result outside: H*x is y's size, D*x is nd-by-numel(x).
if prob.blur
    ops.H = @(x) applyH(x, prob);
    ops.Ht = @(t) applyHt(t, prob);
else
    ops.H = @(x) x;
    ops.Ht = @(t) t;
end
ops.D = @(x) applyD(x, prob);
ops.Dt = @(d) applyDt(d, prob);
ops.crop = @(x) cropToObserved(x, prob);
ops.domainSize = prob.sx;
end

function prob = makeProblem(sy, opts)
nd = numel(sy);
prob = struct('nd', nd, 'sy', sy, 'blur', ~isempty(opts.psf), 'h', opts.spacing, ...
    'boundary', opts.boundary, 'lower', opts.lower, 'upper', opts.upper);
if ~prob.blur
    prob.sx = sy;
    prob.offset = zeros(1, nd);
    prob.normH2 = 1;
else
    psf = opts.psf;
    sp = [size(psf), ones(1, 3 - ndims(psf))];
    sp = sp(1:nd);
    centre = floor(sp / 2) + 1;
    if strcmp(opts.boundary, 'periodic')
        prob.sx = sy;
        prob.offset = zeros(1, nd);
    else
        % x reaches sp - centre before and centre - 1 past each edge; the domain is
        % padded further to a size whose FFT factors are small, the excess unobserved.
        reach = sp - 1;
        prob.sx = sy;
        for d = 1:nd
            if sp(d) > 1
                prob.sx(d) = smoothSize(sy(d) + reach(d));
            end
        end
        prob.offset = sp - centre;
    end
    big = zeros(prob.sx);
    idx = cell(1, nd);
    for d = 1:nd
        idx{d} = 1:sp(d);
    end
    big(idx{:}) = psf;
    big = circshift(big, 1 - centre);
    prob.otf = fftn(big);
    % H' multiplies by the conjugate at every iteration: taken once here, the same bits.
    prob.otfConj = conj(prob.otf);
    prob.normH2 = max(abs(prob.otf(:))) ^ 2;
end
prob.observed = cell(1, nd);
for d = 1:nd
    prob.observed{d} = prob.offset(d) + (1:sy(d));
end
prob.cropped = ~isequal(prob.sx, sy);
prob.normD2 = sum(4 ./ prob.h .^ 2);
prob.pages = 1;
prob.full = prob.sx;
end

function stacked = stackPages(prob, pages)
% PAGES problems of PROB's kind side by side along one more dimension, solved
% as one: each operator acts on each page alone, so every page gets the bits it
% would get by itself, for one interpreted pass per step instead of PAGES.
stacked = prob;
stacked.pages = pages;
stacked.full = [prob.sx, pages];
stacked.observed{end + 1} = ':';
end

function n = smoothSize(n)
while true
    m = n;
    for f = [2 3 5 7]
        while mod(m, f) == 0
            m = m / f;
        end
    end
    if m == 1
        return;
    end
    n = n + 1;
end
end

function t = applyH(x, prob)
t = eachPage(@(v) real(ifftn(prob.otf .* fftn(v))), x, prob);
if prob.cropped
    t = t(prob.observed{:});
end
end

function x = applyHt(t, prob)
if prob.cropped
    z = zeros(prob.full);
    z(prob.observed{:}) = t;
    t = z;
end
x = eachPage(@(v) real(ifftn(prob.otfConj .* fftn(v))), t, prob);
end

function out = eachPage(op, x, prob)
% OP on each page of a stacked problem alone (an FFT must not reach across pages).
if prob.pages == 1
    out = op(x);
    return;
end
out = zeros(prob.full);
for j = 1:prob.pages
    page = pageIndex(prob, j);
    out(page{:}) = op(x(page{:}));
end
end

function page = pageIndex(prob, j)
page = repmat({':'}, 1, prob.nd + 1);
page{end} = j;
end

function d = applyD(x, prob)
% Forward differences scaled by the spacing, zero past the last element; the nd
% differences of one element side by side in d(:, k), as groupshrinkmt takes groups.
sx = prob.full;
d = zeros(prob.nd, prod(sx));
for k = 1:prob.nd
    idx = repmat({':'}, 1, numel(sx));
    idx{k} = [2:sx(k), sx(k)];
    e = x(idx{:}) - x;
    if prob.h(k) ~= 1
        e = e / prob.h(k);
    end
    d(k, :) = e(:);
end
end

function x = applyDt(d, prob)
% The adjoint: each difference leaves its first element and enters its second;
% component k's last slice is no difference and takes no part.
sx = prob.full;
x = zeros(sx);
for k = 1:prob.nd
    e = reshape(d(k, :), sx);
    if prob.h(k) ~= 1
        e = e / prob.h(k);
    end
    idx = repmat({':'}, 1, numel(sx));
    idx{k} = sx(k);
    e(idx{:}) = 0;
    idx{k} = [1, 1:sx(k) - 1];
    shifted = e(idx{:});
    idx{k} = 1;
    shifted(idx{:}) = 0;
    x = x + shifted - e;
end
end

function x = cropToObserved(x, prob)
if prob.cropped
    x = x(prob.observed{:});
end
end

% ---------------------------------------------------------------------------
% The solver: Chambolle-Pock's primal-dual method.

function state = initialState(y, model, prob, opts)
if isempty(opts.init)
    x0 = min(max(model.u, opts.lower), opts.upper);
    if strcmp(model.kind, 'shifted')
        x0 = min(max(model.u - model.s, opts.lower), opts.upper);
    end
else
    x0 = min(max(opts.init, opts.lower), opts.upper);
    x0 = repmat(x0, [ones(1, prob.nd), prob.pages]);
end
if prob.cropped
    % The unobserved margin starts from the nearest observed value.
    idx = repmat({':'}, 1, numel(prob.full));
    for d = 1:prob.nd
        idx{d} = min(max((1:prob.sx(d)) - prob.offset(d), 1), prob.sy(d));
    end
    x0 = x0(idx{:});
end
% Without a blur there is no data dual: q stays empty, as tvpdstep takes it.
q = [];
if prob.blur
    q = zeros(size(y));
end
state = struct('x', x0, 'xt', x0, 'adapt', 0.5, 'p', zeros(prob.nd, prod(prob.full)), 'q', q, ...
    'tau', 0, 'sigma', 0, 'ratio', 1, 'iterations', 0, 'objective', zeros(1, 0), ...
    'objectiveIterations', zeros(1, 0), 'lambda', 0, 'stopReason', '');
% tau*sigma*||K||^2 = 1; the first ratio tau/sigma grows with the photon scale
% of x against the duals' (O(1) for the data term, LAMBDA for TV), measured over
% peaks of 1 to 30 photons; the residuals' balance then adapts it.
state.ratio = 0.01 * (mean(max(model.counts(:), 0)) + model.s);
end

function [state, timing] = solve(model, prob, state, lambda, opts, timing, started, maxIt, tol)
% Chambolle-Pock with over-relaxation (Condat's form): from (x, p, q),
%   xt = prox_{tau G}(x - tau K'[q; p])                       G: data term or bounds
%   pt = proj_lambda(p + sigma D(2 xt - x)),  qt = prox_{sigma F*}(q + sigma H(2 xt - x))
%   (x, p, q) <- (x, p, q) + rho ((xt, pt, qt) - (x, p, q)).
% Without a blur G holds the data term and K = D; with one G is the bounds and
% K = [H; D], the data term taken through Moreau's identity. xt is feasible and
% is what is reported. H and D are linear, so K x and K'[q; p] follow the
% relaxation without applying them again.
state.lambda = lambda;
normK2 = prob.normD2 + prob.blur * prob.normH2;
if state.tau == 0
    r = state.ratio;
    state.tau = sqrt(r / normK2);
    state.sigma = 1 / (state.tau * normK2);
end
tau = state.tau;
sigma = state.sigma;
rho = 1.9;
x = state.x;
p = state.p;
q = state.q;
checkEvery = 10;
% Residual balancing (Goldstein et al.): the share of each adaptation shrinks
% geometrically, so the steps settle and the fixed-step convergence applies.
adapt = state.adapt;
shrink = 0.95;
band = 1.5;

t0 = tic;
Dx = applyD(x, prob);
DtP = applyDt(p, prob);
timing.tv = timing.tv + toc(t0);
% Without a blur the data side is empty: tvpdstep then relaxes x and p alone.
Hx = [];
HtQ = [];
Hxt = [];
qt = [];
HtQt = [];
if prob.blur
    t0 = tic;
    Hx = applyH(x, prob);
    HtQ = applyHt(q, prob);
    timing.fft = timing.fft + toc(t0);
end
objective = zeros(1, 0);
objectiveIt = zeros(1, 0);
reason = 'maximum iterations';
lastObjective = NaN;
xt = state.xt;
for k = 1:maxIt
    xtOld = xt;
    if prob.blur
        xt = toBounds(x - tau * (HtQ + DtP), prob);
        t0 = tic;
        Hxt = applyH(xt, prob);
        timing.fft = timing.fft + toc(t0);
        t0 = tic;
        qt = dataDualStep(q, Hxt, Hx, sigma, model);
        timing.prox = timing.prox + toc(t0);
        t0 = tic;
        HtQt = applyHt(qt, prob);
        timing.fft = timing.fft + toc(t0);
    else
        t0 = tic;
        xt = toBounds(dataProx(x - tau * DtP, tau, model), prob);
        timing.prox = timing.prox + toc(t0);
    end
    checking = mod(k, checkEvery) == 0 || k == maxIt;
    % The TV dual step and the relaxation of every variable, with the optimality residuals
    % at (xt, pt, qt) while the steps adapt and xt's total variation at a check.
    t0 = tic;
    [x, p, Dx, DtP, HtQ, q, Hx, sums] = tvpdstep(xt, x, p, Dx, DtP, HtQt, HtQ, qt, q, Hxt, ...
        Hx, [tau, sigma, lambda, rho], prob.h, double([adapt > 1e-3, checking]));
    timing.tv = timing.tv + toc(t0);
    if adapt > 1e-3
        primalNorm = sums(1);
        dualNorm = sums(2);
        if primalNorm > band * dualNorm
            tau = tau / (1 - adapt);
            sigma = sigma * (1 - adapt);
            adapt = adapt * shrink;
        elseif primalNorm < dualNorm / band
            tau = tau * (1 - adapt);
            sigma = sigma / (1 - adapt);
            adapt = adapt * shrink;
        end
    end
    if checking
        change = norm(xt(:) - xtOld(:)) / max(norm(xt(:)), realmin);
        t0 = tic;
        if prob.blur
            % H of a nonnegative x by FFT can round to -1e-17 where x is 0 all
            % around, and the exact likelihood is NaN below 0.
            fit = dataValue(max(Hxt, 0), model);
        else
            fit = dataValue(xt, model);
        end
        timing.prox = timing.prox + toc(t0);
        value = fit + lambda * sums(3);
        objective(end + 1) = value; %#ok<AGROW>
        objectiveIt(end + 1) = state.iterations + k; %#ok<AGROW>
        if strcmp(opts.display, 'iter')
            fprintf('%6d  %.12g  %9.3e  %9.3e  %8.2f\n', state.iterations + k, value, change, ...
                lambda, toc(started));
        end
        % The objective's constants (the log(2*pi*VAR)/2 of every pixel, the
        % log n! of the counts) can all but cancel, so its scale is at least
        % one per pixel.
        if change <= tol && abs(value - lastObjective) <= tol * max(abs(value), numel(xt))
            reason = 'tolerance';
            break;
        end
        lastObjective = value;
    end
end
state.x = x;
state.xt = xt;
state.p = p;
state.q = q;
state.tau = tau;
state.sigma = sigma;
state.adapt = adapt;
state.iterations = state.iterations + k;
state.objective = [state.objective, objective];
state.objectiveIterations = [state.objectiveIterations, objectiveIt];
state.stopReason = reason;
end

function v = toBounds(v, prob)
% max leaves no NaN behind, so min against an infinite Upper (the default) would change no
% bit: one pass over the domain less per iteration.
v = max(v, prob.lower);
if prob.upper < Inf
    v = min(v, prob.upper);
end
end

function [state, timing, tried] = autoLambda(model, prob, state, opts, timing, started, y)
% LAMBDA minimising an estimate of the mean squared error of t = Hx (of x
% itself when denoising), from the Poisson-Gaussian form of Stein's and
% Hudson's identities in counts, u = (y - MEAN)/ALPHA and s = VAR/ALPHA^2:
%
%   E||t - Hx*||^2 = E[ ||t - u||^2 - sum(u) - N s + 2 sum_i (u_i + s) d_i ]
%
% with d_i = t_i(u) - t_i(u - e_i), the response of pixel i to one photon less
% at itself (to first order in the Gaussian part). Derivatives would not do:
% at a photon or two per pixel a restoration is far from linear over one
% photon. The d_i are sampled in perturbed solves: one photon off some of the
% pixels and onto as many others, whose signs cancel their effects on each other
% to first order. What remains, the others' effect on a pixel, is measured on
% the pixels left alone (each counted by the inverse of its chance to be) and
% taken off. Each perturbed data set has a chain of solves of its own, each
% warm-started from its own last solution, with the steps and iteration counts
% of the unperturbed chain: a warm start from the unperturbed solution would
% carry the unperturbed data into the perturbed result and hide part of the
% response. The patterns are fixed (their seeds, the caller's generators
% restored), so the estimate is a smooth function of LAMBDA; it is minimised in
% log(LAMBDA) by growing or shrinking to a bracket, then parabolic steps.
% Where photons are few the sum is carried by the pixels that caught some, so
% each pixel is drawn with a chance that grows with its weight u + s and
% counted by its inverse. The photons moved at once change the restoration
% beyond the sum of their single effects, which biases LAMBDA upwards (on the
% cell at a photon per pixel one pattern of 2 to 8 % put the least estimate at
% 1.4 times the best LAMBDA, 1.16 dB short), while fewer leave the estimate too
% noisy to place its least; four patterns of 0.5 to 2 % each, averaged, keep
% both small.
patterns = 4;
weight = model.counts + model.s;
share = min(max(0.1 * weight / max(mean(abs(weight(:))), realmin), 0.02), 0.08) / patterns;
u = model.counts;
searchTol = max(opts.tolerance, 5e-5);
lambda = initialLambda(model, prob);
% The steps settle on a first solve, then every chain starts afresh with them.
fresh = state;
[state, timing] = solve(model, prob, state, lambda, opts, timing, started, ...
    opts.maxIterations, 1e-3);
fresh.tau = state.tau;
fresh.sigma = state.sigma;
fresh.adapt = 0;
state = fresh;
% The patterns' chains run in lockstep (the same steps and iteration counts), so
% they are solved as pages of one problem.
nd = prob.nd;
minus = false([prob.sy, patterns]);
plus = minus;
for j = 1:patterns
    page = pageIndex(prob, j);
    [minus(page{:}), plus(page{:})] = samplePattern(share, 5488 + j);
end
alone = ~(minus | plus);
moved = model.alpha * (minus - plus);
stacked = stackPages(prob, patterns);
perturbed = makeModel(repmat(model.y, [ones(1, nd), patterns]) - moved, model.alpha, ...
    model.mean, model.var, model.kind);
chain = initialState(repmat(y, [ones(1, nd), patterns]) - moved, perturbed, stacked, opts);
chain.tau = state.tau;
chain.sigma = state.sigma;
chain.adapt = 0;
n = numel(u);
tried = zeros(0, 4);
states = {};
points = zeros(0, 2);
for attempt = 1:14
    done = state.iterations;
    [state, timing] = solve(model, prob, state, lambda, opts, timing, started, ...
        opts.maxIterations, searchTol);
    [chain, timing] = solve(perturbed, stacked, chain, lambda, opts, timing, started, ...
        state.iterations - done, 0);
    t = observedResult(state.xt, prob);
    others = observedResult(chain.xt, stacked);
    response = 0;
    variance = 0;
    for j = 1:patterns
        page = pageIndex(prob, j);
        wd = weight .* (t - others(page{:}));
        m = minus(page{:});
        a = alone(page{:});
        response = response + sum(wd(m) ./ share(m)) - sum(wd(a) ./ (1 - 2 * share(a)));
        % The sampling error of the response term, as if each pixel were drawn alone.
        variance = variance + sum((1 - share(m)) .* (wd(m) ./ share(m)) .^ 2);
    end
    response = response / patterns;
    risk = (sum((t(:) - u(:)) .^ 2) - sum(u(:)) - n * model.s + 2 * response) / n;
    spread = 2 * sqrt(variance) / patterns / n;
    tried(end + 1, :) = [lambda, risk, spread, state.iterations]; %#ok<AGROW>
    states{end + 1} = state; %#ok<AGROW>
    if strcmp(opts.display, 'iter')
        fprintf('lambda %.5g: estimated mean squared error %.6g (+- %.2g)\n', lambda, risk, ...
            spread);
    end
    points(end + 1, :) = [log(lambda), risk]; %#ok<AGROW>
    [lambda, finished] = nextLambda(points);
    if finished
        break;
    end
end
[~, pick] = min(tried(:, 2));
state = states{pick};
[state, timing] = solve(model, prob, state, state.lambda, opts, timing, started, ...
    opts.maxIterations, opts.tolerance);
end

function t = observedResult(x, prob)
% What the data see of x: H x with a blur, x on the observed pixels without.
if prob.blur
    t = applyH(x, prob);
else
    t = cropToObserved(x, prob);
end
end

function [lambda, done] = nextLambda(points)
% Double or halve until the smallest estimate has a larger one on each side,
% then a parabola through it and its neighbours, until they are within 20 %.
[order, idx] = sort(points(:, 1));
values = points(idx, 2);
[~, k] = min(values);
done = false;
n = numel(order);
grow = log(1.6);
if n == 1
    lambda = exp(order(1) + grow);
elseif k == n
    lambda = exp(order(n) + grow);
elseif k == 1
    lambda = exp(order(1) - grow);
else
    a = order(k - 1);
    b = order(k);
    c = order(k + 1);
    if c - a < log(1.3)
        done = true;
        lambda = exp(b);
        return;
    end
    fa = values(k - 1);
    fb = values(k);
    fc = values(k + 1);
    den = (b - a) * (fb - fc) - (b - c) * (fb - fa);
    if den ~= 0
        m = b - ((b - a) ^ 2 * (fb - fc) - (b - c) ^ 2 * (fb - fa)) / (2 * den);
    else
        m = (a + c) / 2;
    end
    % Keep clear of the points already taken: at least a tenth of each gap away.
    if m <= b
        m = min(max(m, a + 0.1 * (b - a)), b - 0.1 * (b - a));
    else
        m = min(max(m, b + 0.1 * (c - b)), c - 0.1 * (c - b));
    end
    lambda = exp(m);
end
if n >= 8
    done = true;
end
end

function [minus, plus] = samplePattern(share, seed)
% Each pixel marked minus with its chance SHARE, and plus with as much again,
% from SEED, leaving the caller's generators as they were.
isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
if isOctave
    % Octave has two generators for rand, and setting either state makes it the one in
    % use; none says which is. A caller seeded with rand('seed', ...) must get the legacy
    % generator back, or its next draws come from the Mersenne twister's start-up state
    % and differ from run to run: the draw that only the twister repeats tells them apart.
    saved = rand('state'); %#ok<RAND>
    savedLegacy = rand('seed'); %#ok<RAND>
    probe = rand();
    rand('state', saved); %#ok<RAND>
    legacy = rand() ~= probe;
    rand('state', seed); %#ok<RAND>
else
    saved = rng;
    rng(seed, 'twister');
end
r = rand(size(share));
if isOctave
    rand('state', saved); %#ok<RAND>
    if legacy
        rand('seed', savedLegacy); %#ok<RAND>
    end
else
    rng(saved);
end
minus = r < share;
plus = r >= share & r < 2 * share;
end

function lambda = initialLambda(model, prob)
% Poisson noise of mean m has the scale sqrt(m), and the TV weight that balances
% it scales as its inverse; a blur takes some of the noise away.
m = mean(max(model.counts(:), 0)) + model.s;
lambda = 1.1 / sqrt(m);
if prob.blur
    lambda = lambda / 1.7;
end
end


% pgrestore in Octave: its operators against independent references and their
% adjoints, the solution against each pixel's maximum likelihood and against
% perturbations, the error table, a small 3-D restoration, and the caller's
% random generators left alone.

%!function ops = operators_of (y, varargin)
%!  [~, info] = pgrestore (y, 1, 0, 1, 'Lambda', 1, 'MaxIterations', 1, varargin{:});
%!  ops = info.operators;
%!endfunction

%!function counts = poisson_draw (means)
%!  % Poisson counts of the given means by inverting the CDF with rand, so that
%!  % the legacy generator the tests seed decides them.
%!  counts = zeros (size (means));
%!  u = rand (size (means));
%!  cdf = exp (-means);
%!  term = cdf;
%!  for n = 1:60
%!    counts = counts + (u > cdf);
%!    term = term .* means / n;
%!    cdf = cdf + term;
%!  end
%!endfunction

%!function value = objective (x, y, alpha, mu, v, lambda, ops)
%!  % The exact likelihood's objective at x on the solver's domain.
%!  [~, nll] = pglikmt (ops.H (x), y, v, mu, alpha);
%!  d = ops.D (x);
%!  value = nll + lambda * sum (sqrt (sum (d .^ 2, 1)));
%!endfunction

%!function y = circular_reference (x, psf)
%!  % Sum of shifted copies: the PSF's middle element floor(size/2)+1 at the origin.
%!  sp = [size(psf), 1, 1](1:ndims (x));
%!  centre = floor (sp / 2) + 1;
%!  y = zeros (size (x));
%!  for k = 1:numel (psf)
%!    sub = cell (1, numel (sp));
%!    [sub{:}] = ind2sub (sp, k);
%!    y = y + psf(k) * circshift (x, [sub{:}] - centre);
%!  end
%!endfunction

%!test
%! % H against a sum of shifted copies ('periodic') and convn's valid part
%! % ('unknown'), and <Hx, z> = <x, H'z>; odd and even PSFs, 2-D and 3-D.
%! rand ('seed', 3);
%! cases = {
%!   [12 10],    rand(3, 3)
%!   [12 10],    rand(4, 2)
%!   [9 11],     rand(1, 5)
%!   [8 9 6],    rand(3, 3, 3)
%!   [8 9 6],    rand(2, 3)
%!   [7 6 5],    rand(2, 3, 4)
%! };
%! for k = 1:rows (cases)
%!   sy = cases{k, 1};
%!   psf = cases{k, 2} / sum (cases{k, 2}(:));
%!   y = rand (sy);
%!   for boundary = {'periodic', 'unknown'}
%!     ops = operators_of (y, 'PSF', cases{k, 2}, 'Boundary', boundary{1});
%!     x = rand (ops.domainSize);
%!     z = rand (sy);
%!     Hx = ops.H (x);
%!     assert (size (Hx), sy);
%!     if (strcmp (boundary{1}, 'periodic'))
%!       assert (ops.domainSize, sy);
%!       assert (Hx, circular_reference (x, psf), 1e-12);
%!     else
%!       valid = convn (x, psf, 'valid');
%!       idx = arrayfun (@(n) 1:n, sy, 'UniformOutput', false);
%!       assert (Hx, valid(idx{:}), 1e-12);
%!       assert (all (ops.domainSize >= sy + [size(psf), 1](1:numel (sy)) - 1));
%!     end
%!     assert (sum (Hx(:) .* z(:)), sum (x(:) .* reshape (ops.Ht (z), [], 1)), 1e-11);
%!   end
%! end

%!test
%! % D: a ramp's differences divided by the spacing, zero past the last element;
%! % <Dx, d> = <x, D'd> for any d, its unused last slices included.
%! cases = {
%!   [6 5],   [1 1]
%!   [6 5],   [0.5 2]
%!   [5 4 3], [1 1 1]
%!   [5 4 3], [0.2 0.2 1]
%! };
%! for k = 1:rows (cases)
%!   sy = cases{k, 1};
%!   h = cases{k, 2};
%!   y = rand (sy);
%!   [~, info] = pgrestore (y, 1, 0, 1, 'Lambda', 1, 'MaxIterations', 1, 'Spacing', h);
%!   ops = info.operators;
%!   for dim = 1:numel (sy)
%!     shape = ones (1, numel (sy));
%!     shape(dim) = sy(dim);
%!     ramp = repmat (reshape (3 * (1:sy(dim)), [shape 1]), sy ./ shape);
%!     d = ops.D (ramp);
%!     expected = 3 / h(dim) * ones (sy);
%!     idx = repmat ({':'}, 1, numel (sy));
%!     idx{dim} = sy(dim);
%!     expected(idx{:}) = 0;
%!     assert (reshape (d(dim, :), sy), expected, 1e-12);
%!     assert (all (all (d([1:dim-1, dim+1:end], :) == 0)));
%!   end
%!   x = randn (sy);
%!   d = randn (numel (sy), prod (sy));
%!   assert (sum (reshape (ops.D (x), [], 1) .* d(:)), sum (x(:) .* reshape (ops.Dt (d), [], 1)), 1e-11);
%! end

%!test
%! % Lambda 0: each pixel reaches its maximum-likelihood mean (the gradient of its
%! % own term zero, or x = 0 with the gradient >= 0), under every likelihood.
%! randn ('seed', 5);
%! rand ('seed', 5);
%! alpha = 2.5;
%! mu = 10;
%! v = 16;
%! counts = floor (12 * rand (6, 7));
%! y = alpha * counts + mu + sqrt (v) * randn (size (counts));
%! y(1, 1:3) = mu - [20 5 1];
%! u = (y - mu) / alpha;
%! s = v / alpha ^ 2;
%! x = pgrestore (y, alpha, mu, v, 'Lambda', 0, 'Likelihood', 'exact', 'Tolerance', 1e-12);
%! g = pglikmt (x, y, v, mu, alpha);
%! assert (all (abs (g(x > 0)) < 1e-6));
%! assert (all (g(x == 0) >= 0));
%! assert (any (x(:) == 0) && any (x(:) > 0));
%! x = pgrestore (y, alpha, mu, v, 'Lambda', 0, 'Likelihood', 'shifted', 'Tolerance', 1e-12);
%! assert (x, max (u, 0), 1e-8);
%! x = pgrestore (y, alpha, mu, v, 'Lambda', 0, 'Likelihood', 'gaussian', 'Tolerance', 1e-12);
%! w = u + s;
%! assert (x, max ((sqrt (1 + 4 * w .^ 2) - 1) / 2 - s, 0), 1e-8);

%!test
%! % A solved problem: no feasible step away from X lowers the objective by more
%! % than the stopping tolerance allows, and INFO reports that objective.
%! randn ('seed', 7);
%! truth = 2 + 6 * (repmat (1:9, 8, 1) > 4);
%! truth(3:5, 2:3) = 0.5;
%! cases = {
%!   {},                                            1.5
%!   {'PSF', [1 2 1; 2 4 2; 1 2 1], 'Boundary', 'periodic'}, 0.4
%! };
%! for k = 1:rows (cases)
%!   ops = operators_of (truth, cases{k, 1}{:});
%!   y = 1.5 * round (ops.H (truth)) + 3 + 0.5 * randn (size (truth));
%!   [x, info] = pgrestore (y, 1.5, 3, 0.25, cases{k, 1}{:}, 'Lambda', cases{k, 2}, 'Likelihood', 'exact', 'Tolerance', 1e-9, 'MaxIterations', 4000);
%!   f0 = objective (x, y, 1.5, 3, 0.25, cases{k, 2}, ops);
%!   assert (info.objective(end), f0, 1e-9 * abs (f0));
%!   assert (strcmp (info.stopReason, 'tolerance'));
%!   for trial = 1:20
%!     step = 1e-3 * randn (size (x));
%!     if (trial <= 5)
%!       step = 1e-3 * (x == 0);
%!     end
%!     assert (objective (max (x + step, 0), y, 1.5, 3, 0.25, cases{k, 2}, ops) >= f0 - 1e-7 * abs (f0));
%!   end
%! end

%!test
%! % A dark region (x = 0 over a PSF's reach, where H x by FFT rounds to either
%! % side of 0): the objective stays finite and the tolerance is reached.
%! randn ('seed', 3);
%! truth = 4 * (repmat (1:24, 20, 1) > 12);
%! y = conv2 (truth, ones (3) / 9, 'same') + 0.1 * randn (size (truth));
%! for likelihood = {'exact', 'shifted'}
%!   for boundary = {'periodic', 'unknown'}
%!     [~, info] = pgrestore (y, 1, 0, 0.01, 'PSF', ones (3), 'Boundary', boundary{1}, 'Lambda', 0.3, 'Likelihood', likelihood{1}, 'MaxIterations', 3000);
%!     assert (all (isfinite (info.objective)), [likelihood{1} ' ' boundary{1}]);
%!     assert (info.stopReason, 'tolerance');
%!   end
%! end

%!test
%! % The default likelihood: shifted when denoising, exact with a PSF; a given
%! % one is kept either way.
%! y = 3 + ones (12, 10);
%! cases = {
%!   {},                                    'shifted'
%!   {'PSF', ones(3)/9},                    'exact'
%!   {'PSF', ones(3)/9, 'Likelihood', 'gaussian'}, 'gaussian'
%!   {'Likelihood', 'exact'},               'exact'
%! };
%! for k = 1:rows (cases)
%!   [~, info] = pgrestore (y, 1, 0, 1, 'Lambda', 1, 'MaxIterations', 1, cases{k, 1}{:});
%!   assert (info.likelihood, cases{k, 2});
%! end

%!test
%! % 'auto' on volumes (the perturbed copies side by side along a fourth
%! % dimension), with a PSF, Spacing, Init and bounds (which every copy takes)
%! % and without a PSF: the least estimate's LAMBDA, x in bounds and nearer
%! % what it estimates (the scene, or without a PSF the blurred scene) than y.
%! randn ('seed', 19);
%! rand ('seed', 19);
%! [r, c, z] = ndgrid (1:10, 1:8, 1:4);
%! truth = 2 + 10 * ((r - 5) .^ 2 + (c - 4) .^ 2 < 8);
%! psf = ones (3, 3, 3);
%! ops = operators_of (truth, 'PSF', psf, 'Boundary', 'periodic');
%! blurred = ops.H (truth);
%! y = poisson_draw (blurred) + 0.3 * randn (size (truth));
%! cases = {
%!   {'PSF', psf, 'Spacing', [1 1 2], 'Init', y, 'Lower', 1, 'Upper', 11},  1,  11, truth
%!   {},                                                                    0, Inf, blurred
%! };
%! for k = 1:rows (cases)
%!   [x, info] = pgrestore (y, 1, 0, 0.09, cases{k, 1}{:}, 'Likelihood', 'shifted', 'MaxIterations', 300);
%!   assert (size (x), size (y));
%!   [~, least] = min (info.lambdas(:, 2));
%!   assert (info.lambda, info.lambdas(least, 1));
%!   assert (min (x(:)) >= cases{k, 2} && max (x(:)) <= cases{k, 3});
%!   observed = cases{k, 4};
%!   assert (norm (x(:) - observed(:)) < norm (y(:) - observed(:)));
%! end

%!test
%! % Lower and Upper hold, and Init is taken.
%! rand ('seed', 11);
%! randn ('seed', 11);
%! y = 3 + 2 * randn (16, 12);
%! x = pgrestore (y, 1, 0, 1, 'Lambda', 0.05, 'Lower', 2, 'Upper', 4, 'Likelihood', 'shifted');
%! assert (min (x(:)) >= 2 && max (x(:)) <= 4);
%! assert (any (x(:) == 2) && any (x(:) == 4));
%! [x, info] = pgrestore (y, 1, 0, 1, 'Lambda', 0.5, 'Init', 3 * ones (16, 12), 'MaxIterations', 1, 'Likelihood', 'shifted');
%! assert (info.iterations, 1);
%! assert (max (abs (x(:) - 3)) < 0.5);

%!test
%! % [] for a noise parameter: PGNOISEFIT's value, the given ones held, and the
%! % same X as a call given those values.
%! randn ('seed', 5);
%! rand ('seed', 5);
%! [c, r] = meshgrid (1:48);
%! truth = 20 + 15 * (c > 24) + 10 * (r > 30);
%! y = 2 * randp (truth) + 7 + 2 * randn (size (truth));
%! cases = {
%!   {[], [], []},  {}
%!   {[], 7, []},   {'Mean', 7}
%!   {[], [], 4},   {'Var', 4}
%!   {1.5, [], []}, {}
%! };
%! for k = 1:rows (cases)
%!   given = cases{k, 1};
%!   [a, m, v] = pgnoisefit (y, cases{k, 2}{:});
%!   if (! isempty (given{1}))
%!     a = given{1};
%!   end
%!   [x, info] = pgrestore (y, given{:}, 'Lambda', 0.3, 'MaxIterations', 30);
%!   assert (info.noise, [a, m, v]);
%!   assert (info.estimated, cellfun (@isempty, given));
%!   assert (x, pgrestore (y, a, m, v, 'Lambda', 0.3, 'MaxIterations', 30));
%! end

%!test
%! % 'auto' lands nearer the truth than a quarter of its LAMBDA and four times
%! % it, denoising and deblurring (both boundaries), takes the LAMBDA tried with
%! % the least estimate, and leaves the caller's generators alone.
%! randn ('seed', 17);
%! rand ('seed', 17);
%! [c, r] = meshgrid (1:40);
%! truth = 4 + 12 * (abs (c - 20) < 9 & abs (r - 20) < 9) + 6 * ((c - 30) .^ 2 + (r - 9) .^ 2 < 30);
%! cases = {{}, {'PSF', [1 2 1; 2 4 2; 1 2 1], 'Boundary', 'periodic'}, {'PSF', [1 2 1; 2 4 2; 1 2 1]}};
%! for j = 1:numel (cases)
%!   ops = operators_of (truth, cases{j}{:}, 'Boundary', 'periodic');
%!   y = 2 * poisson_draw (ops.H (truth)) + 5 + 2 * randn (size (truth));
%!   before = {rand('state'), randn('state')};
%!   % The caller draws from the legacy generator (rand ('seed', ...)): it must
%!   % still be the one in use afterwards, where it was.
%!   legacy = rand ('seed');
%!   next = rand (1, 2);
%!   rand ('seed', legacy);
%!   [x, info] = pgrestore (y, 2, 5, 4, cases{j}{:}, 'Likelihood', 'shifted');
%!   assert ({rand('state'), randn('state')}, before);
%!   assert (rand (1, 2), next);
%!   rand ('seed', legacy);
%!   assert (rows (info.lambdas) >= 3);
%!   [~, least] = min (info.lambdas(:, 2));
%!   assert (info.lambda, info.lambdas(least, 1));
%!   err = norm (x(:) - truth(:));
%!   for f = [0.25 4]
%!     z = pgrestore (y, 2, 5, 4, cases{j}{:}, 'Likelihood', 'shifted', 'Lambda', f * info.lambda);
%!     assert (err < norm (z(:) - truth(:)));
%!   end
%! end

%!test
%! % A small 3-D restoration with a 3x3x3 PSF and a coarser z: x keeps y's size,
%! % stays in bounds and comes closer to the truth than the observation.
%! randn ('seed', 13);
%! [r, c, z] = ndgrid (1:12, 1:10, 1:5);
%! truth = 2 + 10 * ((r - 6) .^ 2 + (c - 5) .^ 2 < 12);
%! psf = ones (3, 3, 3);
%! ops = operators_of (truth, 'PSF', psf, 'Boundary', 'periodic');
%! y = round (ops.H (truth)) + 0.3 * randn (size (truth));
%! [x, info] = pgrestore (y, 1, 0, 0.09, 'PSF', psf, 'Spacing', [1 1 2], 'Lambda', 0.03, 'Likelihood', 'shifted', 'MaxIterations', 300);
%! assert (size (x), size (y));
%! assert (all (x(:) >= 0));
%! assert (norm (x(:) - truth(:)) < 0.6 * norm (y(:) - truth(:)));
%! assert (info.operators.domainSize, [14 12 7]);

%!test
%! % Every input is checked before any work, each with its own identifier.
%! y = ones (4, 5);
%! cases = {
%!   'notEnoughInputs',    {y, 1, 0}
%!   'yNotDouble',         {single(y), 1, 0, 1}
%!   'yNotDouble',         {complex(y), 1, 0, 1}
%!   'yNotDouble',         {sparse(y), 1, 0, 1}
%!   'yNotImage',          {zeros(0, 3), 1, 0, 1}
%!   'yNotImage',          {ones(2, 2, 2, 2), 1, 0, 1}
%!   'yNotFinite',         {[y, NaN(4, 1)], 1, 0, 1}
%!   'yNotFinite',         {[y, Inf(4, 1)], 1, 0, 1}
%!   'alphaNotPositive',   {y, 0, 0, 1}
%!   'alphaNotPositive',   {y, [1 2], 0, 1}
%!   'alphaNotPositive',   {y, Inf, 0, 1}
%!   'meanNotFinite',      {y, 1, NaN, 1}
%!   'meanNotFinite',      {y, 1, 'a', 1}
%!   'varNotPositive',     {y, 1, 0, -1}
%!   'varNotPositive',     {y, 1, 0, int8(1)}
%!   'optionWithoutValue', {y, 1, 0, 1, 'Lambda'}
%!   'optionNotName',      {y, 1, 0, 1, 3, 4}
%!   'unknownOption',      {y, 1, 0, 1, 'Lamda', 1}
%!   'badPSF',             {y, 1, 0, 1, 'PSF', -ones(3)}
%!   'badPSF',             {y, 1, 0, 1, 'PSF', zeros(3)}
%!   'badPSF',             {y, 1, 0, 1, 'PSF', ones(5, 5)}
%!   'badPSF',             {y, 1, 0, 1, 'PSF', [1 NaN]}
%!   'badPSF',             {y, 1, 0, 1, 'PSF', ones(1, 1, 2)}
%!   'badBoundary',        {y, 1, 0, 1, 'Boundary', 'zero'}
%!   'badLambda',          {y, 1, 0, 1, 'Lambda', -1}
%!   'badLambda',          {y, 1, 0, 1, 'Lambda', 'best'}
%!   'badLikelihood',      {y, 1, 0, 1, 'Likelihood', 'poisson'}
%!   'badSpacing',         {y, 1, 0, 1, 'Spacing', [1 1 1]}
%!   'badSpacing',         {y, 1, 0, 1, 'Spacing', [1 0]}
%!   'badMaxIterations',   {y, 1, 0, 1, 'MaxIterations', 2.5}
%!   'badTolerance',       {y, 1, 0, 1, 'Tolerance', -1}
%!   'badLower',           {y, 1, 0, 1, 'Lower', -1}
%!   'badUpper',           {y, 1, 0, 1, 'Upper', 0}
%!   'badBounds',          {y, 1, 0, 1, 'Lower', 2, 'Upper', 1}
%!   'badInit',            {y, 1, 0, 1, 'Init', ones(5, 4)}
%!   'badDisplay',         {y, 1, 0, 1, 'Display', 'on'}
%! };
%! for k = 1:rows (cases)
%!   id = ['pgmex:pgrestore:' cases{k, 1}];
%!   try
%!     pgrestore (cases{k, 2}{:});
%!     error ('no error for case %d (expected %s)', k, id);
%!   catch err
%!     assert (err.identifier, id);
%!     assert (! isempty (regexp (err.message, '^pgrestore: ')));
%!   end
%! end

%!test
%! % Quiet unless asked: 'off' prints nothing, 'iter' a line per check.
%! y = 2 + ones (8, 8);
%! assert (evalc ('pgrestore (y, 1, 0, 1, ''Lambda'', 1, ''MaxIterations'', 20);'), '');
%! text = evalc ('pgrestore (y, 1, 0, 1, ''Lambda'', 1, ''MaxIterations'', 20, ''Tolerance'', 0, ''Display'', ''iter'');');
%! assert (numel (strfind (text, sprintf ('\n'))), 2);

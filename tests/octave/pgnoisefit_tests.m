% pgnoisefit in Octave: its errors, parameters recovered from single images
% and stacks drawn with known noise, what the options change, and pglikmt's
% dnll, on which its likelihood steps run, against a log-domain reference.

%!function add_paths ()
%!  root = fileparts (fileparts (fileparts (which ('pgnoisefit_tests'))));
%!  addpath (fullfile (root, 'bench', 'reference'));
%!endfunction

%!function x = scene (n, peak)
%!  % Smooth intensities from 2 % to 100 % of peak, with a flat patch and a
%!  % step, so that levels spread and some blocks hold an edge.
%!  [c, r] = meshgrid (linspace (0, 1, n));
%!  x = 0.02 + 0.98 * (0.5 + 0.45 * sin (3 * r) .* cos (2 * c));
%!  x(r > 0.7 & c > 0.6) = 0.1;
%!  x(:, round (n / 2):end) = x(:, round (n / 2):end) * 0.8;
%!  x = peak * x / max (x(:));
%!endfunction

%!function y = draw (x, alpha, mu, v, seed)
%!  randp ('state', seed);
%!  randn ('state', seed);
%!  y = alpha * randp (x) + mu + sqrt (v) * randn (size (x));
%!endfunction

%!function e = level_error (x, alpha, mu, v, ah, muh, vh)
%!  % Relative error of the noise level at the 10th and 90th percentile of x.
%!  q = sort (x(:));
%!  q = q(round ([0.1; 0.9] * numel (q)));
%!  e = sqrt (ah * (alpha * q + mu - muh) + vh) ./ sqrt (alpha^2 * q + v) - 1;
%!endfunction

%!test
%! % id, then the arguments; every input is checked before any work.
%! add_paths ();
%! y = 10 + randn (32);
%! cases = {
%!   'pgmex:pgnoisefit:yNotDouble', {single(y)}
%!   'pgmex:pgnoisefit:yNotDouble', {int16(y)}
%!   'pgmex:pgnoisefit:yNotDouble', {sparse(y)}
%!   'pgmex:pgnoisefit:yComplex', {complex(y, 0)}
%!   'pgmex:pgnoisefit:yEmpty', {zeros(0, 5)}
%!   'pgmex:pgnoisefit:yNotFinite', {[y(:, 1:end-1), NaN(32, 1)]}
%!   'pgmex:pgnoisefit:yNotFinite', {[y(:, 1:end-1), -Inf(32, 1)]}
%!   'pgmex:pgnoisefit:optionsNotPaired', {y, 'Mean'}
%!   'pgmex:pgnoisefit:unknownOption', {y, 'Offset', 3}
%!   'pgmex:pgnoisefit:unknownOption', {y, 3, 3}
%!   'pgmex:pgnoisefit:badFrames', {y, 'Frames', 2}
%!   'pgmex:pgnoisefit:badFrames', {y, 'frames', [true true]}
%!   'pgmex:pgnoisefit:badMean', {y, 'Mean', NaN}
%!   'pgmex:pgnoisefit:badMean', {y, 'Mean', int8(1)}
%!   'pgmex:pgnoisefit:badVar', {y, 'Var', 0}
%!   'pgmex:pgnoisefit:badVar', {y, 'VAR', Inf}
%!   'pgmex:pgnoisefit:badSaturation', {y, 'Saturation', NaN}
%!   'pgmex:pgnoisefit:badSaturation', {y, 'Saturation', [1 2]}
%!   'pgmex:pgnoisefit:badDisplay', {y, 'Display', 'on'}
%!   'pgmex:pgnoisefit:badDisplay', {y, 'Display', true}
%!   'pgmex:pgnoisefit:yTooManyDims', {ones(4, 4, 2, 2)}
%!   'pgmex:pgnoisefit:yTooManyDims', {ones(4, 4, 2, 2, 2), 'Frames', true}
%!   'pgmex:pgnoisefit:tooFewFrames', {ones(8, 1), 'Frames', false, 'Frames', true, 'Mean', 1}
%!   'pgmex:pgnoisefit:tooFewFrames', {ones(8, 1), 'Frames', 1}
%!   'pgmex:pgnoisefit:yTooSmall', {y(1:9, 1:9)}
%!   'pgmex:pgnoisefit:yTooSmall', {y, 'Saturation', 5}
%!   'pgmex:pgnoisefit:yTooSmall', {[1 2; 3 4], 'Frames', true, 'Saturation', 3}
%!   'pgmex:pgnoisefit:yConstant', {7 * ones(32)}
%!   'pgmex:pgnoisefit:yConstant', {repmat([1 5 2 8], 6, 1, 3), 'Frames', true}
%! };
%! for k = 1:rows (cases)
%!   try
%!     pgnoisefit (cases{k, 2}{:});
%!     error ('case %d raised no error', k);
%!   catch err
%!     assert (err.identifier, cases{k, 1}, sprintf ('case %d: %s', k, err.message));
%!   end
%! end

%!test
%! % Single images: where the lattice of counts shows (alpha^2 well above
%! % var) all three parameters come out; otherwise the noise level does,
%! % and alpha within what the moments hold.
%! add_paths ();
%! x = scene (128, 60);
%! % alpha, mean, var, tolerance on alpha, on the noise level, lattice
%! cases = [4   100 1   0.01 0.03 1
%!          1.5 20  4   0.15 0.05 0
%!          0.5 0   25  0.30 0.03 0];
%! for k = 1:rows (cases)
%!   a = cases(k, 1); mu = cases(k, 2); v = cases(k, 3);
%!   y = draw (x, a, mu, v, k);
%!   [ah, muh, vh, info] = pgnoisefit (y);
%!   assert (abs (ah / a - 1) < cases(k, 4), 'case %d: alpha %g', k, ah);
%!   assert (all (abs (level_error (x, a, mu, v, ah, muh, vh)) < cases(k, 5)), 'case %d', k);
%!   assert (info.lattice, logical (cases(k, 6)));
%!   assert (vh > 0 && info.stderr.alpha > 0);
%!   if (info.lattice)
%!     assert (abs (muh - mu) < 0.25 && abs (vh / v - 1) < 0.1, 'case %d: mean %g var %g', k, muh, vh);
%!     assert (info.identified.alpha && info.identified.var);
%!   end
%! end

%!test
%! % Options: a known mean or var is returned as given and the other still
%! % fits the noise curve; clipped pixels are left out with 'Saturation';
%! % 'Display' alone decides what is printed.
%! add_paths ();
%! x = scene (96, 80);
%! a = 2; mu = 30; v = 9;
%! y = draw (x, a, mu, v, 11);
%! [ah, muh, vh] = pgnoisefit (y, 'Mean', mu);
%! assert (muh, mu);
%! assert (abs (vh / v - 1) < 0.3 && abs (ah / a - 1) < 0.1);
%! [ah, muh, vh] = pgnoisefit (y, 'Var', v);
%! assert (vh, v);
%! assert (abs (muh - mu) < 3 && abs (ah / a - 1) < 0.1);
%! [ah, muh, vh] = pgnoisefit (y, 'Var', v, 'Mean', mu);
%! assert ([muh vh], [mu v]);
%! assert (abs (ah / a - 1) < 0.05);
%! top = sort (y(:));
%! top = top(round (0.8 * numel (top)));
%! clipped = min (y, top);
%! [ah, ~, ~, info] = pgnoisefit (clipped, 'Saturation', top, 'Mean', mu, 'Var', v);
%! assert (max (info.levels) < top);
%! assert (abs (ah - a) < 4 * info.stderr.alpha && info.stderr.alpha < 0.1 * a);
%! assert (isempty (evalc ('pgnoisefit (y, ''Mean'', mu, ''Display'', ''off'');')));
%! text = evalc ('pgnoisefit (y, ''Mean'', mu, ''display'', ''final'');');
%! assert (numel (strfind (text, sprintf ('\n'))), 1);
%! assert (~isempty (strfind (text, 'alpha')));

%!test
%! % A stack of frames: every pixel's x is a free parameter of the adjusted
%! % likelihood, which must not shrink the noise by (frames-1)/frames.
%! add_paths ();
%! x = scene (32, 40);
%! a = 2.5; mu = 50; v = 16;
%! y = zeros (32, 32, 8);
%! for f = 1:8
%!   y(:, :, f) = draw (x, a, mu, v, 100 + f);
%! end
%! [ah, muh, vh, info] = pgnoisefit (y, 'Frames', true, 'Mean', mu);
%! assert (strcmp (info.method, 'frames') && numel (info.levels) == 32^2);
%! assert (abs (ah / a - 1) < 0.03, 'alpha %g', ah);
%! assert (abs (vh / v - 1) < 0.15, 'var %g', vh);
%! assert (info.stderr.mean, 0);
%! assert (abs (ah - a) < 4 * info.stderr.alpha);
%! % The same stack with the lattice showing: alpha 4, var 1, all free.
%! y = zeros (32, 32, 8);
%! for f = 1:8
%!   y(:, :, f) = draw (x, 4, mu, 1, 200 + f);
%! end
%! [ah, muh, vh, info] = pgnoisefit (y, 'Frames', true);
%! assert (info.lattice);
%! assert ([ah muh vh], [4 mu 1], [0.01 0.2 0.1]);

%!test
%! % A stack's mean and var over draws: with few frames the profile sees each
%! % pixel's skewness about its own fitted intensity, short of the third
%! % cumulant, and a Cox-Reid term that does not see the noise's shape let
%! % that push mean and var up the ridge var - alpha*mean by one to three of
%! % their standard errors (here, 8 frames: var twice the truth, mean 2.5
%! % sqrt(var) high on average). Over the draws the errors must be centred
%! % and as large as the fits' own standard errors say (each bound on the
%! % average error is above twice its spread over six draws).
%! add_paths ();
%! x = scene (128, 200);
%! a = 2.5; mu = 50; v = 36;
%! draws = 6;
%! fits = zeros (draws, 6);
%! for s = 1:draws
%!   y = zeros (128, 128, 8);
%!   for f = 1:8
%!     y(:, :, f) = draw (x, a, mu, v, 1000 * s + f);
%!   end
%!   [ah, muh, vh, info] = pgnoisefit (y, 'Frames', true);
%!   fits(s, :) = [ah muh vh info.stderr.alpha info.stderr.mean info.stderr.var];
%! end
%! err = bsxfun (@minus, fits(:, 1:3), [a mu v]);
%! z = err ./ fits(:, 4:6);
%! assert (abs (mean (err(:, 1))) < 0.02 * a, 'alpha off by %g', mean (err(:, 1)));
%! assert (abs (mean (err(:, 2))) < sqrt (v), 'mean off by %g', mean (err(:, 2)));
%! assert (abs (mean (err(:, 3))) < 0.4 * v, 'var off by %g', mean (err(:, 3)));
%! assert (all (mean (z.^2) < 4), 'errors in standard errors: %s', mat2str (mean (z.^2), 3));

%!test
%! % pglikmt's dnll against the log-domain reference's, whose grad and nll
%! % are pglikmt's, and against central differences of pglikmt's nll.
%! add_paths ();
%! rand ('seed', 5);
%! settings = [1.5 2 9; 4 100 1; 0.5 0 36; 0.1 -1 0.01];
%! for k = 1:rows (settings)
%!   a = settings(k, 1); mu = settings(k, 2); v = settings(k, 3);
%!   x = [0, 1e-6, 30 * rand(1, 40), 500 * rand(1, 10)];
%!   y = a * x + mu + sqrt (v + a^2 * x) .* (6 * rand (size (x)) - 3);
%!   [g, nll, d] = pglikmt (x, y, v, mu, a);
%!   [rg, rnll, rd] = pglikmt_dnll_reference (x, y, v, mu, a);
%!   assert (rg, g, 1e-12 * max (1, abs (g)));
%!   assert (rnll, nll, 1e-12 * abs (nll));
%!   assert (d, rd, 1e-10 * max (1, abs (rd)));
%!   p = [v mu a];
%!   h = 1e-6 * [v, sqrt(v), a / max(1, a * max(x))];
%!   for j = 1:3
%!     up = p; up(j) = up(j) + h(j);
%!     down = p; down(j) = down(j) - h(j);
%!     [~, nu] = pglikmt (x, y, up(1), up(2), up(3));
%!     [~, nd] = pglikmt (x, y, down(1), down(2), down(3));
%!     assert (d(j), (nu - nd) / (2 * h(j)), 1e-5 * max (1, abs (d(j))));
%!   end
%! end

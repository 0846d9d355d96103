% pglikmt in Octave: the gateway's errors and their order, grad shaped like
% x, the worked identities, and the values against a sum in logs over a wide
% range of counts, in double.

%!function [g, nll] = reference_likelihood (x, y, v, mu, alpha)
%!  % Each element's terms in logs over counts far past both sides of the
%!  % largest, then log-sum-exp.
%!  g = zeros (size (x));
%!  nll = 0;
%!  for i = 1:numel (x)
%!    u = y(i) - mu;
%!    n = (0:max (200, 3 * x(i) + 40 * sqrt (x(i) + 1)))';
%!    lt = -x(i) + n * log (x(i)) - gammaln (n + 1) - (u - alpha * n).^2 / (2 * v) - log (2 * pi * v) / 2;
%!    lt(1) = -x(i) - u^2 / (2 * v) - log (2 * pi * v) / 2;
%!    top = max (lt);
%!    w = exp (lt - top);
%!    if (x(i) == 0)
%!      g(i) = 1 - exp (alpha * (u - alpha / 2) / v);
%!    else
%!      g(i) = 1 - (sum (n .* w) / sum (w)) / x(i);
%!    end
%!    nll += -(top + log (sum (w)));
%!  end
%!endfunction

%!test
%! % id, message, then the arguments; the first failing check decides.
%! x = [1 2 3];
%! y = [0 1 2];
%! inputs = 'Five inputs required: x, y - arrays of the same number of elements; var, mean, alpha - scalars (Gaussian noise variance and mean, scaling parameter of Poisson noise).';
%! x_class = 'Input x must be a full real double array.';
%! y_class = 'Input y must be a full real double array.';
%! cases = {
%!   'pgmex:pglikmt:invalidNumInputs', inputs, {x, y, 1, 0}
%!   'pgmex:pglikmt:invalidNumInputs', inputs, {x, y, 1, 0, 1, 1}
%!   'pgmex:pglikmt:varNotScalar', 'Input var must be a real double scalar.', {x, y, [1 2], 0, 1}
%!   'pgmex:pglikmt:varNotScalar', 'Input var must be a real double scalar.', {x, y, single(1), 0, 1}
%!   'pgmex:pglikmt:varNotPositive', 'Input var must be positive and finite.', {x, y, 0, 0, 1}
%!   'pgmex:pglikmt:varNotPositive', 'Input var must be positive and finite.', {x, y, Inf, [], []}
%!   'pgmex:pglikmt:meanNotScalar', 'Input mean must be a real double scalar.', {x, y, 1, 1i, 1}
%!   'pgmex:pglikmt:meanNotFinite', 'Input mean must be finite.', {x, y, 1, NaN, 1}
%!   'pgmex:pglikmt:alphaNotScalar', 'Input alpha must be a real double scalar.', {x, y, 1, 0, int8(1)}
%!   'pgmex:pglikmt:alphaNotPositive', 'Input alpha must be positive and finite.', {x, y, 1, 0, -1}
%!   'pgmex:pglikmt:xNotDouble', x_class, {single(x), y, 1, 0, 1}
%!   'pgmex:pglikmt:xNotDouble', x_class, {sparse(x), y, 1, 0, 1}
%!   'pgmex:pglikmt:xNotDouble', x_class, {{1, 2}, y, 1, 0, 1}
%!   'pgmex:pglikmt:xComplex', 'Input x must be real.', {x + 1i, single(y), 1, 0, 1}
%!   'pgmex:pglikmt:yNotDouble', y_class, {x, y > 0, 1, 0, 1}
%!   'pgmex:pglikmt:yComplex', 'Input y must be real.', {x, complex(y, 0), 1, 0, 1}
%!   'pgmex:pglikmt:lengthMismatch', 'Inputs x and y must have the same number of elements.', {x, [y 1], 1, 0, 1}
%!   'pgmex:pglikmt:lengthMismatch', 'Inputs x and y must have the same number of elements.', {[], 1, 1, 0, 1}
%! };
%! for k = 1:rows (cases)
%!   assert_host_error (@pglikmt, cases{k, 3}, cases{k, 1}, cases{k, 2});
%! end
%! try
%!   [a, b, c, d] = pglikmt (1, 1, 1, 0, 1);
%!   error ('no error for four outputs');
%! catch err
%!   assert (err.identifier, 'pgmex:pglikmt:invalidNumOutputs');
%! end

%!test
%! % grad has the shape of x, N-d and empty included; y need only have as
%! % many elements; nll is a 1x1 double, 0 when empty; no output asked for
%! % still gives grad.
%! x = reshape (0.5:1:11.5, 2, 3, 2);
%! y = (1.5 * (0:11) - 1)';
%! [g, nll] = pglikmt (x, y, 2, 1, 1.5);
%! assert (size (g), [2 3 2]);
%! assert (isreal (g) && isscalar (nll));
%! same_bits (pglikmt (x(:), y, 2, 1, 1.5), g(:));
%! pglikmt (x, y, 2, 1, 1.5);
%! same_bits (ans, g);
%! [g, nll] = pglikmt (zeros (0, 3), zeros (1, 0), 1, 0, 1);
%! assert (size (g), [0 3]);
%! same_bits (nll, 0);
%! assert (size (pglikmt (zeros (2, 0, 4), [], 1, 0, 1)), [2 0 4]);

%!test
%! % x = 0: only n = 0 counts. Poisson-only: with var tiny and y = alpha k +
%! % mean, E[n] = k. Gaussian-only: var much larger than alpha^2 x, so that
%! % -log p approaches the Gaussian N(y; alpha x + mean, var + alpha^2 x).
%! [g, nll] = pglikmt ([0 0], [1 -3], 4, 1, 2);
%! assert (g, 1 - exp (2 * ([0 -4] - 1) / 4), 1e-15);
%! assert (nll, (0 + 16) / 8 + log (2 * pi * 4), 1e-14);
%! v = 1e-8;
%! k = [0 4 40];
%! x = [2.5 2.5 30];
%! [g, nll] = pglikmt (x, 1.5 * k + 3, v, 3, 1.5);
%! assert (g, 1 - k ./ x, 1e-13);
%! assert (nll, sum (x - k .* log (x) + gammaln (k + 1) + log (2 * pi * v) / 2), 1e-11);
%! x = 400;
%! y = 0.01 * x + 2 + [-2 0 3] * sqrt (1e4);
%! for i = 1:3
%!   [g, nll] = pglikmt (x, y(i), 1e4, 2, 0.01);
%!   s2 = 1e4 + 0.01^2 * x;
%!   assert (nll, (y(i) - 0.01 * x - 2)^2 / (2 * s2) + log (2 * pi * s2) / 2, 1e-6);
%! end

%!test
%! % Elements outside the model: NaN grad and NaN nll; x = Inf: grad 1,
%! % nll Inf.
%! [g, nll] = pglikmt ([1 -1 NaN 1 1], [1 1 1 Inf NaN], 1, 0, 1);
%! assert (isnan (g(2:end)) & ! isnan (g(1)));
%! assert (isnan (nll));
%! [g, nll] = pglikmt (Inf, 5, 1, 0, 1);
%! same_bits ([g nll], [1 Inf]);

%!test
%! % Values against the reference over several noise settings, and nll as
%! % the sum of the elements' own.
%! rand ('seed', 7);
%! settings = [1.5 2 9; 1 0 1; 0.1 -1 0.01; 10 5 100];
%! for k = 1:rows (settings)
%!   alpha = settings(k, 1); mu = settings(k, 2); v = settings(k, 3);
%!   x = [0, 1e-6, 30 * rand(1, 20)];
%!   y = alpha * x + mu + sqrt (v + alpha^2 * x) .* (6 * rand (size (x)) - 3);
%!   [g, nll] = pglikmt (x, y, v, mu, alpha);
%!   [rg, rnll] = reference_likelihood (x, y, v, mu, alpha);
%!   assert (g, rg, 1e-9 * max (1, abs (rg)));
%!   assert (nll, rnll, 1e-10 * abs (rnll));
%!   each = arrayfun (@(i) nthargout (2, @pglikmt, x(i), y(i), v, mu, alpha), 1:numel (x));
%!   assert (nll, sum (each), 1e-12 * abs (nll));
%! end

%!test
%! % dnll: 3x1, [d/dvar; d/dmean; d/dalpha] of nll, against central
%! % differences of nll and, at x = 0 where only n = 0 counts, in closed form;
%! % asking for it leaves grad and nll as they were.
%! rand ('seed', 20);
%! settings = [1.5 2 9; 1 0 0.01; 0.05 3 1e4; 2.5 50 16];
%! for k = 1:rows (settings)
%!   alpha = settings(k, 1); mu = settings(k, 2); v = settings(k, 3);
%!   x = [0, 100 * rand(1, 60)];
%!   y = alpha * x + mu + sqrt (v + alpha^2 * x) .* (6 * rand (size (x)) - 3);
%!   [g, nll, d] = pglikmt (x, y, v, mu, alpha);
%!   [g2, nll2] = pglikmt (x, y, v, mu, alpha);
%!   same_bits ([g nll], [g2 nll2]);
%!   assert (size (d), [3 1]);
%!   p = [v mu alpha];
%!   scale = [v sqrt(v) sqrt(v)/max(x)];
%!   for j = 1:3
%!     h = 1e-5 * scale(j);
%!     up = p; up(j) += h; dn = p; dn(j) -= h;
%!     [~, a] = pglikmt (x, y, up(1), up(2), up(3));
%!     [~, b] = pglikmt (x, y, dn(1), dn(2), dn(3));
%!     assert (d(j), (a - b) / (2 * h), 1e-6 * max (1, abs (d(j))));
%!   end
%! end
%! u = [1 -3 0.5];
%! [~, ~, d] = pglikmt ([0 0 0], u + 2, 4, 2, 1.5);
%! assert (d, [sum((4 - u.^2) / 32); -sum(u) / 4; 0], 1e-15);
%! [~, ~, d] = pglikmt (zeros (0, 2), [], 1, 0, 1);
%! same_bits (d, [0; 0; 0]);

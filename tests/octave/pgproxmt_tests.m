% pgproxmt in Octave: the gateway's errors and their order, x shaped like v,
% the worked identities of its help, and the optimality condition at the
% roots it returns, with pglikmt's gradient.

%!test
%! % id, message, then the arguments; the first failing check decides.
%! v = [1 2 3];
%! y = [0 1 2];
%! inputs = 'Six inputs required: v, y - arrays of the same number of elements; gamma - a positive scalar, or an array like v; var, mean, alpha - scalars (Gaussian noise variance and mean, scaling parameter of Poisson noise).';
%! gamma_class = 'Input gamma must be a full real double scalar or array.';
%! gamma_positive = 'Input gamma must be positive and finite.';
%! cases = {
%!   'pgmex:pgproxmt:invalidNumInputs', inputs, {v, y, 1, 1, 0}
%!   'pgmex:pgproxmt:varNotScalar', 'Input var must be a real double scalar.', {v, y, 1, [1 2], 0, 1}
%!   'pgmex:pgproxmt:varNotPositive', 'Input var must be positive and finite.', {v, y, 1, 0, 0, 1}
%!   'pgmex:pgproxmt:meanNotScalar', 'Input mean must be a real double scalar.', {v, y, 1, 1, 1i, 1}
%!   'pgmex:pgproxmt:meanNotFinite', 'Input mean must be finite.', {v, y, 1, 1, -Inf, 1}
%!   'pgmex:pgproxmt:alphaNotScalar', 'Input alpha must be a real double scalar.', {v, y, 1, 1, 0, int8(1)}
%!   'pgmex:pgproxmt:alphaNotPositive', 'Input alpha must be positive and finite.', {v, y, 1, 1, 0, NaN}
%!   'pgmex:pgproxmt:vNotDouble', 'Input v must be a full real double array.', {single(v), y, 1, 1, 0, 1}
%!   'pgmex:pgproxmt:vComplex', 'Input v must be real.', {v + 1i, y, 1, 1, 0, 1}
%!   'pgmex:pgproxmt:yNotDouble', 'Input y must be a full real double array.', {v, sparse(y), 1, 1, 0, 1}
%!   'pgmex:pgproxmt:yComplex', 'Input y must be real.', {v, complex(y, 0), 1, 1, 0, 1}
%!   'pgmex:pgproxmt:lengthMismatch', 'Inputs v and y must have the same number of elements.', {v, [y 1], 'g', 1, 0, 1}
%!   'pgmex:pgproxmt:gammaNotDouble', gamma_class, {v, y, single(1), 1, 0, 1}
%!   'pgmex:pgproxmt:gammaNotDouble', gamma_class, {v, y, {1}, 1, 0, 1}
%!   'pgmex:pgproxmt:gammaComplex', 'Input gamma must be real.', {v, y, [1 1 1] + 1i, 1, 0, 1}
%!   'pgmex:pgproxmt:gammaSize', 'Input gamma must be a scalar or have as many elements as v.', {v, y, [1 1], 1, 0, 1}
%!   'pgmex:pgproxmt:gammaNotPositive', gamma_positive, {v, y, 0, 1, 0, 1}
%!   'pgmex:pgproxmt:gammaNotPositive', gamma_positive, {v, y, Inf, 1, 0, 1}
%! };
%! for k = 1:rows (cases)
%!   assert_host_error (@pgproxmt, cases{k, 3}, cases{k, 1}, cases{k, 2});
%! end
%! try
%!   [a, b] = pgproxmt (1, 1, 1, 1, 0, 1);
%!   error ('no error for two outputs');
%! catch err
%!   assert (err.identifier, 'pgmex:pgproxmt:invalidNumOutputs');
%! end

%!test
%! % x has the shape of v, N-d and empty included; y and gamma need only
%! % have as many elements; no output asked for still gives x.
%! v = reshape (0.5:1:11.5, 2, 3, 2);
%! y = (1.5 * (0:11) - 1)';
%! x = pgproxmt (v, y, (1:12) / 4, 2, 1, 1.5);
%! assert (size (x), [2 3 2]);
%! same_bits (pgproxmt (v(:), y, (1:12)' / 4, 2, 1, 1.5), x(:));
%! pgproxmt (v, y, (1:12) / 4, 2, 1, 1.5);
%! same_bits (ans, x);
%! assert (size (pgproxmt (zeros (0, 3), zeros (1, 0), 1, 1, 0, 1)), [0 3]);
%! assert (size (pgproxmt (zeros (2, 0, 4), [], [], 1, 0, 1)), [2 0 4]);

%!test
%! % The help's worked identities: F(0) >= 0 gives 0; gamma tiny gives
%! % max(v, 0); gamma huge, or Inf per element, the ML count; Poisson-only
%! % roots in closed form; the elements handled apart.
%! same_bits (pgproxmt (-1, 0, 1, 1, 0, 1), 0);
%! assert (pgproxmt ([7 -7 0.25], [2.2 2.2 40], 1e-14, 9, 2, 1.5), [7 0 0.25], 1e-12);
%! assert (pgproxmt ([3 3], [5 11], 1e15, 1e-12, 0, 1), [5 11], 1e-12);
%! assert (pgproxmt ([3 3], [5 11], [Inf Inf], 1e-12, 0, 1), [5 11], 1e-12);
%! g = 2; v = [3 -4]; k = [5 9];
%! assert (pgproxmt (v, k, g, 1e-12, 0, 1), (v - g + sqrt ((g - v).^2 + 4 * g * k)) / 2, 1e-12);
%! x = pgproxmt ([NaN 1 1 1 1 Inf -Inf], [1 NaN Inf 1 1 1 1], [1 1 1 NaN -1 1 1], 1, 0, 1);
%! same_bits (x, [NaN NaN NaN NaN NaN Inf 0]);

%!test
%! % Where x > 0 the optimality condition (x - v)/gamma + grad(x) = 0 holds
%! % to rounding, and where x = 0 it is >= 0 at 0.
%! rand ('seed', 18);
%! settings = [1.5 2 9; 1 0 1e-4; 0.01 -1 100; 30 5 1];
%! for k = 1:rows (settings)
%!   alpha = settings(k, 1); mu = settings(k, 2); v = settings(k, 3);
%!   t = 30 * rand (1, 200);
%!   y = alpha * t + mu + sqrt (v + alpha^2 * t) .* (6 * rand (size (t)) - 3);
%!   c = t .* (2 * rand (size (t))) - 2;
%!   gamma = 10 .^ (4 * rand (size (t)) - 2);
%!   x = pgproxmt (c, y, gamma, v, mu, alpha);
%!   f = (x - c) ./ gamma + pglikmt (x, y, v, mu, alpha);
%!   slope = 1 ./ gamma;
%!   assert (all (x >= 0));
%!   assert (all (f(x == 0) >= 0));
%!   assert (abs (f(x > 0)) <= 1e-9 * (1 + abs (c(x > 0)) ./ gamma(x > 0)));
%! end

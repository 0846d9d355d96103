% datapdstep in Octave: the bits of the data dual step written as array operations with
% pgproxmt and shiftproxmt (as pgrestore computed it before), for both likelihoods over
% steps, noise and shapes; the same bits on one thread and on two; the errors.

%!function [exact, shifted] = by_arrays (q, Hxt, Hx, sigma, y, noise)
%!  w = q + sigma * (2 * Hxt - Hx);
%!  exact = w - sigma * pgproxmt (w / sigma, y, 1 / sigma, noise(3), noise(2), noise(1));
%!  s = noise(3) / noise(1) ^ 2;
%!  u = max ((y - noise(2)) / noise(1) + s, 0);
%!  shifted = w - sigma * shiftproxmt (w / sigma, u, 1 / sigma, s);
%!endfunction

%!test
%! rand ('seed', 7);
%! randn ('seed', 7);
%! % alpha, mean, var: Poisson-like, read noise, a gain with an offset
%! noises = [1 0 0.01; 1 0 0.25; 2.5 10 16];
%! shapes = {[37 29], [7 5 3], [1 1000]};
%! for k = 1:rows (noises)
%!   noise = noises(k, :);
%!   for j = 1:numel (shapes)
%!     n = shapes{j};
%!     x = 5 * rand (n);
%!     y = noise(1) * round (x) + noise(2) + sqrt (noise(3)) * randn (n);
%!     q = randn (n);
%!     Hx = x + 0.1 * randn (n);
%!     Hxt = x + 0.1 * randn (n);
%!     for sigma = [1e-4 0.37 20]
%!       [exact, shifted] = by_arrays (q, Hxt, Hx, sigma, y, noise);
%!       s = noise(3) / noise(1) ^ 2;
%!       u = max ((y - noise(2)) / noise(1) + s, 0);
%!       label = sprintf ('noise %d, shape %d, sigma %g', k, j, sigma);
%!       assert (isequal (datapdstep (q, Hxt, Hx, sigma, y, noise(3), noise(2), noise(1)), ...
%!                        exact), label);
%!       assert (isequal (datapdstep (q, Hxt, Hx, sigma, u, s), shifted), label);
%!     end
%!   end
%! end

%!test
%! % special elements pass through w and the proximity operators' own rules
%! q   = [NaN 0   0    0   Inf  0  1];
%! Hxt = [0   Inf 0    0   0    1  2];
%! Hx  = [0   0   -Inf 0   0    1  2];
%! y   = [1   1   1    NaN 1    -3 40];
%! [exact, shifted] = by_arrays (q, Hxt, Hx, 0.5, y, [1 0 0.25]);
%! assert (isequaln (datapdstep (q, Hxt, Hx, 0.5, y, 0.25, 0, 1), exact));
%! assert (isequaln (datapdstep (q, Hxt, Hx, 0.5, max (y + 0.25, 0), 0.25), shifted));

%!test
%! % a slice per thread: the same bits on one thread and on two
%! rand ('seed', 3);
%! n = [300 301];
%! q = randn (n);  Hx = 3 * rand (n);  Hxt = 3 * rand (n);  y = round (3 * rand (n));
%! old = getenv ('PGMEX_NUM_THREADS');
%! setenv ('PGMEX_NUM_THREADS', '1');
%! one = {datapdstep(q, Hxt, Hx, 0.8, y, 0.25, 0, 1), datapdstep(q, Hxt, Hx, 0.8, y, 0.25)};
%! setenv ('PGMEX_NUM_THREADS', '2');
%! two = {datapdstep(q, Hxt, Hx, 0.8, y, 0.25, 0, 1), datapdstep(q, Hxt, Hx, 0.8, y, 0.25)};
%! setenv ('PGMEX_NUM_THREADS', old);
%! assert (isequal (one, two));
%! assert (size (datapdstep (zeros (2, 0, 3), [], [], 1, [], 0)), [2 0 3]);
%! assert (size (datapdstep (ones (2, 3, 4), zeros (24, 1), zeros (1, 24), 1, ones (4, 6), 0)), ...
%!         [2 3 4]);

%!error <Six or eight inputs required> datapdstep (1, 1, 1, 1, 1)
%!error <Input sigma must be positive and finite> datapdstep (1, 1, 1, 0, 1, 0)
%!error <Input var must be positive and finite> datapdstep (1, 1, 1, 1, 1, 0, 0, 1)
%!error <Input s must be nonnegative and finite> datapdstep (1, 1, 1, 1, 1, NaN)
%!error <Inputs q, Hxt, Hx and u must have the same number of elements> ...
%!  datapdstep ([1 2], [1 2], [1 2], 1, 1, 0)
%!error <Input Hx must be real> datapdstep (1, 1, 1i, 1, 1, 0)

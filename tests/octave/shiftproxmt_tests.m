% shiftproxmt in Octave: the bits of the closed form written as array operations
% (as pgrestore computed it before), with one step and with a step per element;
% t shaped like v; the elements handled apart.

%!test
%! rand ('seed', 5);
%! randn ('seed', 5);
%! for s = [0 0.01 9]
%!   v = 3 * randn (40, 30);
%!   u = max (round (4 * rand (40, 30)) + s + 0.1 * randn (40, 30), 0);
%!   for gamma = {0.3, 1e-3 + 5 * rand(40, 30)}
%!     g = gamma{1};
%!     b = g - s - v;
%!     d = sqrt (b .^ 2 + 4 * g .* u);
%!     z = (d - b) / 2;
%!     pos = b > 0;
%!     gp = g;
%!     if ! isscalar (g)
%!       gp = g(pos);
%!     end
%!     z(pos) = 2 * gp .* u(pos) ./ (b(pos) + d(pos));
%!     t = shiftproxmt (v, u, g, s);
%!     assert (isequal (t, max (z - s, 0)), 's = %g', s);
%!     assert (size (t), size (v));
%!   end
%! end

%!test
%! % v, u, gamma (one per element), s, expected
%! cases = [
%!   NaN   1   2    0.5  NaN
%!   1     NaN 2    0.5  NaN
%!   1     1   0    0.5  NaN
%!   1     1   -1   0.5  NaN
%!   1     1   NaN  0.5  NaN
%!   Inf   1   2    0.5  Inf
%!   -Inf  1   2    0.5  0
%!   1     Inf 2    0.5  NaN
%!   1     3   Inf  0.5  2.5
%!   1     0.2 Inf  0.5  0
%!   2     0   1    0    1
%!   -2    0   1    0    0
%! ];
%! t = shiftproxmt (cases(:, 1), cases(:, 2), cases(:, 3), 0.5);
%! t0 = shiftproxmt (cases(end-1:end, 1), cases(end-1:end, 2), cases(end-1:end, 3), 0);
%! assert (isequaln ([t(1:end-2); t0], cases(:, 5)));
%! assert (size (shiftproxmt (ones (2, 3, 4), ones (24, 1), 1, 1)), [2 3 4]);

%!error <Input gamma must be positive and finite> shiftproxmt (1, 1, 0, 1)
%!error <Input s must be nonnegative and finite> shiftproxmt (1, 1, 1, -1)
%!error <Inputs v and u must have the same number of elements> shiftproxmt ([1 2], 1, 1, 1)

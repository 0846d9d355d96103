% datapdstep in Octave: the bits of its two formulas written as array
% operations with pgproxmt and shiftproxmt, on arrays long enough for
% several workers, NaN and Inf among them; qt shaped like q.

%!test
%! rand ('seed', 3);
%! randn ('seed', 3);
%! q = 3 * randn (317, 311);
%! Hxt = 2 + abs (randn (317, 311));
%! Hx = Hxt + randn (317, 311);
%! y = abs (2 + 1.5 * round (10 * rand (317 * 311, 1)) + 3 * randn (317 * 311, 1));
%! q(1:3) = [NaN Inf -Inf];
%! Hxt(4:5) = [Inf NaN];
%! Hx([5 6]) = [Inf -Inf];
%! y(7:9) = [NaN Inf -1e6];
%! for sigma = [1e-3 0.7 40]
%!   w = q + sigma * (2 * Hxt - Hx);
%!   exact = w - sigma * pgproxmt (w / sigma, y, 1 / sigma, 4, 1, 0.8);
%!   same_bits (datapdstep (q, Hxt, Hx, sigma, y, 4, 1, 0.8), exact);
%!   for s = [0 0.3]
%!     shifted = w - sigma * shiftproxmt (w / sigma, y, 1 / sigma, s);
%!     same_bits (datapdstep (q, Hxt, Hx, sigma, y, s), shifted);
%!   end
%! end

%!test
%! assert (size (datapdstep (ones (2, 3, 4), zeros (24, 1), zeros (1, 24), 1, ones (4, 6), 0)), [2 3 4]);
%! assert (size (datapdstep (zeros (0, 3), [], [], 2, zeros (3, 0), 1, 0, 1)), [0 3]);

%!error <Six or eight inputs required> datapdstep (1, 0, 0, 1, 1)
%!error <Input sigma must be positive and finite> datapdstep (1, 0, 0, 0, 1, 0)
%!error <Inputs q, Hxt, Hx and u must have the same number of elements> datapdstep ([1 2], [0 0], 0, 1, [1 1], 0)

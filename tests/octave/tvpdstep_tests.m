% tvpdstep in Octave: the step against the same formulas written as whole-array
% operations and summed by sum (the bits pgrestore relied on before the step was
% compiled), over 2-D and 3-D domains, pages, spacings, with and without a blur.
% The gateway's errors are the stand-in suite's.

%!function d = diffs (x, h, nd)
%!  sx = size (x);
%!  sx(end + 1:4) = 1;
%!  d = zeros (nd, numel (x));
%!  for k = 1:nd
%!    idx = repmat ({':'}, 1, 4);
%!    idx{k} = [2:sx(k), sx(k)];
%!    e = x(idx{:}) - x;
%!    if h(k) != 1
%!      e = e / h(k);
%!    end
%!    d(k, :) = e(:);
%!  end
%!endfunction

%!function x = adjoint (d, sx, h, nd)
%!  sx(end + 1:4) = 1;
%!  x = zeros (sx);
%!  for k = 1:nd
%!    e = reshape (d(k, :), sx);
%!    if h(k) != 1
%!      e = e / h(k);
%!    end
%!    idx = repmat ({':'}, 1, 4);
%!    idx{k} = sx(k);
%!    e(idx{:}) = 0;
%!    idx{k} = [1, 1:sx(k) - 1];
%!    shifted = e(idx{:});
%!    idx{k} = 1;
%!    shifted(idx{:}) = 0;
%!    x = x + shifted - e;
%!  end
%!endfunction

%!test
%! % size of xt, spacing, observed size (empty: no blur)
%! cases = {
%!   [7 5], [1 1], [5 3]
%!   [7 5], [1 1], []
%!   [6 4 3], [1 1], [4 2 3]
%!   [5 4 3], [1 1 2.5], []
%!   [5 4 3 2], [0.5 1 3], [3 2 3 2]
%!   [9 1], [1 1], [7 1]
%! };
%! rand ('seed', 11);
%! randn ('seed', 11);
%! for c = 1:rows (cases)
%!   [sx, h, sy] = cases{c, :};
%!   nd = numel (h);
%!   n = prod (sx);
%!   xt = rand (sx);  x = rand (sx);  DtP = randn (sx);
%!   p = 0.3 * randn (nd, n);  Dx = randn (nd, n);
%!   tau = 0.7;  sigma = 0.4;  lambda = 0.25;  rho = 1.9;
%!   if isempty (sy)
%!     HtQt = [];  HtQ = [];  qt = [];  q = [];  Hxt = [];  Hx = [];
%!   else
%!     HtQt = randn (sx);  HtQ = randn (sx);
%!     qt = randn (sy);  q = randn (sy);  Hxt = rand (sy);  Hx = rand (sy);
%!   end
%!   for need = {[0 0], [1 0], [0 1], [1 1]}
%!     [x1, p1, Dx1, DtP1, HtQ1, q1, Hx1, sums] = tvpdstep (xt, x, p, Dx, DtP, HtQt, ...
%!         HtQ, qt, q, Hxt, Hx, [tau sigma lambda rho], h, need{1});
%!     Dxt = diffs (xt, h, nd);
%!     v = p + sigma * (2 * Dxt - Dx);
%!     pt = v - reshape (groupshrinkmt (v(:), repmat (nd, n, 1), lambda, [], []), size (v));
%!     DtPt = adjoint (pt, sx, h, nd);
%!     dx = xt - x;
%!     primal = -dx / tau + (DtPt - DtP);
%!     dual = sum (abs ((Dxt(:) - Dx(:)) - (pt(:) - p(:)) / sigma));
%!     assert (isequal (x1, x + rho * dx), 'x, case %d', c);
%!     assert (isequal (p1, p + rho * (pt - p)), 'p, case %d', c);
%!     assert (isequal (Dx1, Dx + rho * (Dxt - Dx)), 'Dx, case %d', c);
%!     assert (isequal (DtP1, DtP + rho * (DtPt - DtP)), 'DtP, case %d', c);
%!     if isempty (sy)
%!       assert (isempty (HtQ1) && isempty (q1) && isempty (Hx1));
%!     else
%!       primal = primal + (HtQt - HtQ);
%!       dual = dual + sum (abs ((Hxt(:) - Hx(:)) - (qt(:) - q(:)) / sigma));
%!       assert (isequal (HtQ1, HtQ + rho * (HtQt - HtQ)), 'HtQ, case %d', c);
%!       assert (isequal (q1, q + rho * (qt - q)), 'q, case %d', c);
%!       assert (isequal (Hx1, Hx + rho * (Hxt - Hx)), 'Hx, case %d', c);
%!     end
%!     expected = [sum(abs (primal(:))), dual, sum(sqrt (sum (Dxt .^ 2, 1)))];
%!     expected(~[need{1}(1), need{1}(1), need{1}(2)]) = NaN;
%!     assert (isequaln (sums, expected), 'sums, case %d, need [%d %d]', c, need{1});
%!   end
%! end

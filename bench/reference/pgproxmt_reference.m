function x = pgproxmt_reference(v, y, gamma, noiseVar, mu, alpha)
%PGPROXMT_REFERENCE  The exact data term's proximity operator, in M-code over PGLIKMT.
%   X = PGPROXMT_REFERENCE(V, Y, GAMMA, VAR, MEAN, ALPHA) returns, elementwise,
%   the x >= 0 minimising -log p(Y | x) + (x - V)^2 / (2*GAMMA) under PGLIKMT's
%   model y = ALPHA*n + g, n ~ Poisson(x), g ~ N(MEAN, VAR). GAMMA is a positive
%   scalar or an array with as many elements as V; X has the shape of V. NaN in
%   V, Y or GAMMA, or an infinite Y, gives NaN at that element.
%
%   The condition phi(x) = (x - V)/GAMMA + GRAD(x) = 0, GRAD from PGLIKMT, is
%   increasing with slope at least 1/GAMMA (GRAD is nondecreasing: the
%   posterior of n is ultra-log-concave, so Var[n] <= E[n]). Hence X = 0 where
%   phi(0) >= 0; otherwise a bracket follows from the sign of phi at any one
%   point t, as phi(t + GAMMA*|phi(t)|) >= 0 when phi(t) < 0 and
%   phi(t - GAMMA*phi(t)) <= 0 when phi(t) > 0. The first point is the shifted
%   Poisson model's closed-form proximity point, the second a Newton step from
%   it with the pure-Poisson slope; then secant steps on the last two points,
%   replaced by a bisection (geometric where the bracket spans decades) when
%   one leaves the bracket or three have not halved it, and stretched to at
%   least the tolerance so that the bracket closes from both sides. It ends
%   when the bracket is at most 2^-44 * max(1, x) wide, about 6e-14, well
%   inside the 1e-12 * max(1, x) that the compiled module promises.
%
%   This is the development stand-in for the compiled PGPROXMT and a reference
%   for its tests; it is not shipped. Inputs are not validated.

shape = size(v);
v = v(:);
y = y(:);
if isscalar(gamma)
    gamma = repmat(gamma, size(v));
else
    gamma = gamma(:);
end
x = zeros(size(v));
bad = isnan(v) | isnan(y) | isinf(y) | isnan(gamma);
x(bad) = NaN;
phi = @(t, k) (t - v(k)) ./ gamma(k) + pglikmt(t, y(k), noiseVar, mu, alpha);

idx = find(~bad);
inside = phi(zeros(size(idx)), idx) < 0;
idx = idx(inside);
n = numel(idx);
if n == 0
    x = reshape(x, shape);
    return;
end
g = gamma(idx);
lo = zeros(n, 1);
hi = Inf(n, 1);

% The shifted Poisson model's proximity point.
s = noiseVar / alpha^2;
u = max((y(idx) - mu) / alpha + s, 0);
b = g - s - v(idx);
d = sqrt(b .^ 2 + 4 * g .* u);
z = (d - b) / 2;
pos = b > 0;
z(pos) = 2 * g(pos) .* u(pos) ./ (b(pos) + d(pos));
t = z - s;
t(~(t > 0)) = min(g(~(t > 0)), 1);
ft = phi(t, idx);
[lo, hi] = narrow(lo, hi, t, ft, g);

% A Newton step with the slope 1/gamma + E[n]/x^2 that Poisson counts give.
slope = 1 ./ g + max(1 - (ft - (t - v(idx)) ./ g), 0) ./ t;
a = t;
fa = ft;
bb = min(max(t - ft ./ slope, lo), hi);
bb(bb == t) = lo(bb == t) + (hi(bb == t) - lo(bb == t)) / 2;
bb(isinf(bb)) = 2 * t(isinf(bb));
fb = phi(bb, idx);
[lo, hi] = narrow(lo, hi, bb, fb, g);
width = hi - lo;
steps = zeros(n, 1);
open = find(~(hi - lo <= pow2(-44) * max(1, lo)));
for iteration = 1:200
    if isempty(open)
        break;
    end
    l = lo(open);
    h = hi(open);
    c = bb(open) - fb(open) .* (bb(open) - a(open)) ./ (fb(open) - fa(open));
    tol = pow2(-45) * max(1, bb(open));
    toward = -sign(fb(open));
    short = abs(c - bb(open)) < tol;
    c(short) = bb(open(short)) + toward(short) .* tol(short);
    halved = h - l <= 0.5 * width(open);
    width(open(halved)) = h(halved) - l(halved);
    steps(open(halved)) = 0;
    bisect = steps(open) >= 3 | ~(c > l & c < h);
    split = l + (h - l) / 2;
    wide = h > 16 * l;
    split(wide & l > 0) = sqrt(l(wide & l > 0) .* h(wide & l > 0));
    split(wide & l == 0) = h(wide & l == 0) / 16;
    c(bisect) = split(bisect);
    width(open(bisect)) = h(bisect) - l(bisect);
    steps(open(bisect)) = 0;
    steps(open(~bisect)) = steps(open(~bisect)) + 1;
    fc = phi(c, idx(open));
    a(open) = bb(open);
    fa(open) = fb(open);
    bb(open) = c;
    fb(open) = fc;
    [lo(open), hi(open)] = narrow(l, h, c, fc, g(open));
    open = open(~(hi(open) - lo(open) <= pow2(-44) * max(1, lo(open))));
end
x(idx) = lo + (hi - lo) / 2;
x = reshape(x, shape);
end

function [lo, hi] = narrow(lo, hi, t, ft, g)
% The bracket from phi's sign at t, and from the slope bound on its far side.
below = ft < 0;
above = ft > 0;
at = ft == 0;
lo(below) = max(lo(below), t(below));
hi(below) = min(hi(below), t(below) - g(below) .* ft(below));
hi(above) = min(hi(above), t(above));
lo(above) = max(lo(above), t(above) - g(above) .* ft(above));
lo(at) = t(at);
hi(at) = t(at);
end

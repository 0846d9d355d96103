function [meanCount, logSum] = likelihood_series(x, series)
%LIKELIHOOD_SERIES  The Poisson-Gaussian likelihood series from the two tables.
%   For y = ALPHA*z + g with z ~ Poisson(x) and g ~ N(MEAN, VAR),
%   p(y | x) = sum_n exp(-x) x^n/n! N(y; ALPHA*n + MEAN, VAR). Divided by
%   exp(-x) N(y; MEAN, VAR), its terms are t_0 = 1 and
%
%     t_n = t_(n-1) * (x/n) * E * D(n) * exp(ALPHA^2/(2*VAR))
%
%   with E = obsexpscale(y, VAR, MEAN, ALPHA) and D = termdecay(y, VAR, MEAN,
%   ALPHA, MARGIN), whose length L is where the series is cut.
%
%   [MEANCOUNT, LOGSUM] = LIKELIHOOD_SERIES(X, SERIES) returns, elementwise,
%   E[n | y, x] = sum n*t_n / sum t_n and log(sum t_n), summed up to
%   n = L - 1. SERIES is a struct with fields
%     ratio  E .* exp(ALPHA^2/(2*VAR)), shaped like X
%     decay  the termdecay row D
%   so that -log p(y | x) = X - LOGSUM + (y - MEAN)^2/(2*VAR) + log(2*pi*VAR)/2,
%   and its gradient in X is 1 - MEANCOUNT ./ X.
%
%   E itself must be finite, which holds while ALPHA*(y - MEAN)/VAR < 709.
%   The loop runs over n only, over all elements at once, with no exp in it.
%   For bright elements the terms pass 1e300 long before their peak, so an
%   element whose term grows past 1e100 has its sums scaled down, and the
%   scale is kept in logs.
limit = 1e100;
step = series.ratio .* x;
term = ones(size(x));
total = term;
weighted = zeros(size(x));
logScale = zeros(size(x));
for n = 1:numel(series.decay) - 1
    term = term .* step * (series.decay(n + 1) / n);
    total = total + term;
    weighted = weighted + n * term;
    big = term > limit;
    if any(big(:))
        term(big) = term(big) / limit;
        total(big) = total(big) / limit;
        weighted(big) = weighted(big) / limit;
        logScale(big) = logScale(big) + log(limit);
    end
end
meanCount = weighted ./ total;
logSum = log(total) + logScale;
end

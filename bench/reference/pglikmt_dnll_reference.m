function [grad, nll, dnll] = pglikmt_dnll_reference(x, y, noiseVar, mu, alpha)
%PGLIKMT_DNLL_REFERENCE  pglikmt's outputs and its noise-parameter derivatives, in logs.
%   [GRAD, NLL, DNLL] = PGLIKMT_DNLL_REFERENCE(X, Y, VAR, MEAN, ALPHA) takes
%   pglikmt's inputs and returns what [GRAD, NLL, DNLL] = PGLIKMT(...) gives
%   once its third output exists: GRAD shaped like X, NLL the total negative
%   log-likelihood, and DNLL = [d NLL/d VAR; d NLL/d MEAN; d NLL/d ALPHA].
%
%   Each element's terms log(x^n/n!) - (u - ALPHA*n)^2/(2*VAR), u = Y - MEAN,
%   are summed in logs over every count from below the smaller to above the
%   larger of x and u/ALPHA (the posterior is log-concave, so its mode lies
%   between them) with a margin of 12 widths of its least curvature and 20
%   counts each side, where the terms left out are below exp(-72) of the
%   largest. With
%   d = u - ALPHA*n and E the posterior mean over n,
%
%     d NLL/d MEAN  = sum -E[d]/VAR
%     d NLL/d ALPHA = sum -E[n*d]/VAR
%     d NLL/d VAR   = sum (VAR - E[d^2])/(2*VAR^2)
%
%   It is slow (a row of counts per element) and meant as the reference for
%   tests and for development until the compiled module gives DNLL; it
%   expects inputs inside the model (X >= 0 finite, Y finite).
%
%   PGLIKMT_DNLL_REFERENCE('reset') and STATS = PGLIKMT_DNLL_REFERENCE('stats')
%   clear and read what the calls since cost: STATS.calls, STATS.seconds (its
%   own time) and STATS.moduleSeconds (the time of pglikmt's [GRAD, NLL] on
%   the same inputs, timed beside each call), so that a benchmark can take
%   its own time out and put the module's in.
persistent spent
if isempty(spent)
    spent = struct('calls', 0, 'seconds', 0, 'moduleSeconds', 0);
end
if ischar(x)
    if strcmp(x, 'reset')
        spent = struct('calls', 0, 'seconds', 0, 'moduleSeconds', 0);
    end
    grad = spent;
    return
end
started = tic;
[unused, unused2] = pglikmt(x, y, noiseVar, mu, alpha); %#ok<ASGLU>
spent.moduleSeconds = spent.moduleSeconds + toc(started);
started = tic;
shape = size(x);
x = x(:);
y = y(:);
u = y - mu;
grad = zeros(size(x));
perElement = zeros(numel(x), 4);
% The log-terms are concave in n with curvature at least alpha^2/VAR + 1/(n + 1), so beyond
% 12 of the widths that curvature gives, they are below exp(-72) of the largest.
top = max(max(x, u / alpha), 0);
widest = top + 12 * sqrt(top + 1) + 20;
s = 1 ./ sqrt(alpha^2 / noiseVar + 1 ./ (widest + 1));
lo = max(0, floor(min(x, u / alpha) - 12 * s - 20));
hi = ceil(min(top + 12 * s + 20, widest));
width = hi - lo + 1;
[unused, order] = sort(width); %#ok<ASGLU>
% Chunks of elements of similar width keep each row of counts short.
chunk = 2048;
for first = 1:chunk:numel(order)
    idx = order(first:min(first + chunk - 1, numel(order)));
    n = bsxfun(@plus, lo(idx), 0:max(width(idx)) - 1);
    outside = bsxfun(@gt, n, hi(idx));
    d = bsxfun(@minus, u(idx), alpha * n);
    logTerm = bsxfun(@times, n, log(x(idx))) - gammaln(n + 1) - d.^2 / (2 * noiseVar);
    zeroX = x(idx) == 0;
    logTerm(zeroX, :) = -Inf;
    logTerm(zeroX, 1) = -d(zeroX, 1).^2 / (2 * noiseVar);
    logTerm(outside) = -Inf;
    top = max(logTerm, [], 2);
    w = exp(bsxfun(@minus, logTerm, top));
    total = sum(w, 2);
    meanD = sum(w .* d, 2) ./ total;
    meanN = sum(w .* n, 2) ./ total;
    meanND = sum(w .* n .* d, 2) ./ total;
    % About the posterior mean of d, so that VAR - E[d^2] keeps its digits.
    centred = bsxfun(@minus, d, meanD);
    meanD2 = sum(w .* centred.^2, 2) ./ total + meanD.^2;
    grad(idx) = 1 - meanN ./ x(idx);
    grad(idx(zeroX)) = 1 - exp(alpha * (u(idx(zeroX)) - alpha / 2) / noiseVar);
    perElement(idx, :) = [x(idx) + log(2 * pi * noiseVar) / 2 - top - log(total), ...
        (noiseVar - meanD2) / (2 * noiseVar^2), -meanD / noiseVar, -meanND / noiseVar];
end
grad = reshape(grad, shape);
nll = sum(perElement(:, 1));
dnll = sum(perElement(:, 2:4), 1)';
spent.calls = spent.calls + 1;
spent.seconds = spent.seconds + toc(started);
end

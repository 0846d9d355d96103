%PGPROXMT  Proximity operator of the exact Poisson-Gaussian likelihood.
%   X = PGPROXMT(V, Y, GAMMA, VAR, MEAN, ALPHA)
%   For observations Y = ALPHA*n + g with n ~ Poisson(X) and g ~ N(MEAN, VAR),
%   the data term f(x) = -log p(Y | x) of PGLIKMT is separable, and its
%   proximity operator acts element by element:
%
%     X(i) = argmin over x >= 0 of  f_i(x) + (x - V(i))^2 / (2*GAMMA(i))
%
%   X has the shape of V. X(i) is the root of the optimality condition
%
%     F(x) = (x - V(i))/GAMMA(i) + 1 - E[n | Y(i), x]/x = 0
%
%   (the second part is PGLIKMT's gradient), or 0 where F(0) >= 0, with
%   E[n]/x at its limit at 0. F rises with x, since f is convex (the
%   posterior of n has Var[n] <= E[n]), so the root is unique; it is found to
%   within 1e-12*max(1, X(i)) by Halley's method on the posterior's first
%   three moments, inside a bracket that bisects wherever a step would leave
%   it.
%
%   V and Y are full real double arrays of any shapes with the same number of
%   elements. GAMMA is a positive finite real double scalar, or a full real
%   double array with one step per element of V (diagonal preconditioning).
%   VAR and ALPHA are positive finite real double scalars; MEAN is a finite
%   real double scalar.
%
%   Elements handled apart:
%     V(i), Y(i) or GAMMA(i) NaN, Y(i) = +-Inf   X(i) = NaN
%     GAMMA(i) <= 0 (array GAMMA)                X(i) = NaN
%     GAMMA(i) = Inf (array GAMMA)               the maximum-likelihood x
%     V(i) = Inf                                 X(i) = Inf
%     V(i) = -Inf                                X(i) = 0
%
%   Worked identities:
%     GAMMA -> 0: the data term fades, and X -> max(V, 0).
%     GAMMA -> Inf: the penalty fades, and X tends to the maximum-likelihood
%       x, where E[n | Y, x] = x (0 where the gradient at 0 is >= 0, that is
%       where Y <= MEAN + ALPHA/2).
%     Poisson-only (VAR tiny, Y = ALPHA*k + MEAN for a count k): f is
%       x - k*log(x) + const, and X is the positive root of
%       x^2 + (GAMMA - V)*x - GAMMA*k = 0.
%     Moreau's identity gives the proximity operator of the conjugate f* for a
%     primal-dual method: prox_{s f*}(w) = w - s*PGPROXMT(w/s, Y, 1/s, ...).
%
%   Every online processor shares the elements, as long as each has enough
%   of them to repay its thread; the environment variable PGMEX_NUM_THREADS,
%   read at each call, caps their number. Each element's iterations depend on
%   its own inputs alone, so X has the same bits on any number of threads and
%   on every processor (AVX-512, AVX2 and scalar code).
%
%   Errors (identifier: cause), checked in this order:
%     pgmex:pgproxmt:invalidNumInputs    not exactly six inputs
%     pgmex:pgproxmt:invalidNumOutputs   more than one output
%     pgmex:pgproxmt:varNotScalar        VAR not a real double scalar
%     pgmex:pgproxmt:varNotPositive      VAR not positive and finite
%     pgmex:pgproxmt:meanNotScalar       MEAN not a real double scalar
%     pgmex:pgproxmt:meanNotFinite       MEAN not finite
%     pgmex:pgproxmt:alphaNotScalar      ALPHA not a real double scalar
%     pgmex:pgproxmt:alphaNotPositive    ALPHA not positive and finite
%     pgmex:pgproxmt:vNotDouble          V not a full double array (sparse, other class)
%     pgmex:pgproxmt:vComplex            V complex
%     pgmex:pgproxmt:yNotDouble          Y not a full double array
%     pgmex:pgproxmt:yComplex            Y complex
%     pgmex:pgproxmt:lengthMismatch      numel(V) differs from numel(Y)
%     pgmex:pgproxmt:vTooLong            V above 2^31-1 elements, or a dimension that large
%     pgmex:pgproxmt:gammaNotDouble      GAMMA not a full double array
%     pgmex:pgproxmt:gammaComplex        GAMMA complex
%     pgmex:pgproxmt:gammaSize           numel(GAMMA) neither 1 nor numel(V)
%     pgmex:pgproxmt:gammaNotPositive    a scalar GAMMA not positive and finite
%
%   Example:
%     x = pgproxmt(-1, 0, 1, 1, 0, 1)           % => 0: F(0) = 2 - exp(-0.5) > 0
%     x = pgproxmt([3 3], [5 5], [1e-9 1e9], 1e-12, 0, 1)
%     % => about [3, 5]: a tiny step stays at V, a huge one reaches the ML count
%
%   See also PGLIKMT, GROUPSHRINKMT.

% This file holds the help text only; the function is the compiled module.
error('pgproxmt: the compiled module is not on the path');

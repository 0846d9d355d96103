%PGLIKMT  Exact Poisson-Gaussian likelihood and its gradient over worker threads.
%   [GRAD, NLL, DNLL] = PGLIKMT(X, Y, VAR, MEAN, ALPHA)
%   For observations Y = ALPHA*n + g with n ~ Poisson(X) and g ~ N(MEAN, VAR),
%
%     p(y | x) = sum_{n >= 0} exp(-x) x^n/n! * N(y; ALPHA*n + MEAN, VAR)
%
%   GRAD has the shape of X and holds, elementwise,
%
%     GRAD(i) = d/dx(i) of -log p(Y(i) | X(i)) = 1 - E[n | Y(i), X(i)] / X(i)
%
%   and at X(i) = 0 its limit, 1 - N(Y(i); ALPHA + MEAN, VAR) / N(Y(i); MEAN, VAR).
%   NLL, computed only when asked for, is the 1x1 sum over i of -log p(Y(i) | X(i)),
%   constants included: the log(2*pi*VAR)/2 of every element and the log n! of the
%   series, so it can be checked against a sum of one's own. GRAD alone (nargout
%   0 or 1) skips the work that only NLL needs.
%
%   DNLL, computed only when asked for, is the 3x1 column of NLL's derivatives in
%   the noise parameters, [d/dVAR; d/dMEAN; d/dALPHA], what maximum likelihood of
%   the noise needs. From the posterior of each count, with d = Y - MEAN - ALPHA*n,
%
%     d/dMEAN  = -E[d]/VAR
%     d/dALPHA = -E[n*d]/VAR = -(E[n]*E[d] - ALPHA*Var[n])/VAR
%     d/dVAR   = (VAR - E[d^2])/(2*VAR^2),  E[d^2] = E[d]^2 + ALPHA^2*Var[n]
%
%   each summed over the elements as NLL is; the moments are taken about the
%   largest term of each series, so that nothing cancels. Asking for DNLL leaves
%   GRAD and NLL as they were, bit for bit. Where NLL is NaN, so is DNLL.
%
%   X and Y are full real double arrays of any shapes with the same number of
%   elements. VAR and ALPHA are real double scalars, positive and finite; MEAN is
%   a finite real double scalar. Empty X and Y give an empty GRAD shaped like X
%   and NLL = 0.
%
%   Elements that are not in the model:
%     X(i) < 0 or NaN, or Y(i) = NaN or +-Inf  GRAD(i) = NaN, and NLL is NaN
%     X(i) = Inf                               GRAD(i) = 1 (E[n]/x goes to 0), NLL = Inf
%   Y(i) so far above MEAN that the counts it implies pass the largest double
%   gives GRAD(i) = -Inf and NLL = Inf. Past 2^52 counts the count is taken
%   as continuous: E[n] keeps its relative accuracy, and NLL is within about
%   ALPHA^2/VAR of the truth (and above 1e15 when X <= 1e4).
%
%   The series is summed around its largest term, both ways, until the rest
%   cannot change the double result; no fixed number of terms. Where the terms
%   that matter spread over more than 128 counts (or the counts pass 2^52) a
%   trapezoid rule of a quarter of that spread takes the place of the sum over
%   the integers, to which it is equal far below double precision there.
%   docs/accuracy.md has the accuracy measured against a quad-precision sum.
%   Every online processor shares the elements, as long as each has at
%   least 16384 of them to repay its thread; the environment variable
%   PGMEX_NUM_THREADS, read at each call, caps their number (set it to 1 when
%   many host workers call at once, as parfor does). NLL is added in fixed
%   blocks of elements, so it has the same bits on any number of them, and on
%   every processor: AVX-512, AVX2 and scalar code give the same bits.
%
%   Worked identities:
%     x = 0: only n = 0 counts, so with u = Y - MEAN
%       GRAD = 1 - exp(ALPHA*(u - ALPHA/2)/VAR)
%       NLL  = u^2/(2*VAR) + log(2*pi*VAR)/2
%     Poisson-only (VAR tiny, Y = ALPHA*k + MEAN for a count k): E[n] = k, so
%       GRAD = 1 - k/X,  NLL = X - k*log(X) + log(k!) + log(2*pi*VAR)/2
%     Gaussian-only (X large, VAR much larger than ALPHA^2*X): the counts are
%       swamped, E[n] is X plus ALPHA*X*(u - ALPHA*X)/VAR to first order, and NLL
%       approaches -log N(Y; ALPHA*X + MEAN, VAR + ALPHA^2*X).
%
%   Errors (identifier: cause), checked in this order:
%     pgmex:pglikmt:invalidNumInputs    not exactly five inputs
%     pgmex:pglikmt:invalidNumOutputs    more than three outputs
%     pgmex:pglikmt:varNotScalar        VAR not a real double scalar
%     pgmex:pglikmt:varNotPositive      VAR not positive and finite
%     pgmex:pglikmt:meanNotScalar       MEAN not a real double scalar
%     pgmex:pglikmt:meanNotFinite       MEAN not finite
%     pgmex:pglikmt:alphaNotScalar      ALPHA not a real double scalar
%     pgmex:pglikmt:alphaNotPositive    ALPHA not positive and finite
%     pgmex:pglikmt:xNotDouble          X not a full double array (sparse, other class)
%     pgmex:pglikmt:xComplex            X complex
%     pgmex:pglikmt:yNotDouble          Y not a full double array
%     pgmex:pglikmt:yComplex            Y complex
%     pgmex:pglikmt:lengthMismatch      numel(X) differs from numel(Y)
%     pgmex:pglikmt:xTooLong            X above 2^31-1 elements, or a dimension that large
%
%   Example:
%     g = pglikmt(0, 1, 1, 0, 1)              % => 1 - exp(0.5)
%     [g, nll] = pglikmt([0 0], [1 1], 1, 0, 1)
%     % => g = [1 - exp(0.5), 1 - exp(0.5)], nll = 1 + log(2*pi)
%     [g, nll] = pglikmt(zeros(0, 3), [], 1, 0, 1)   % => zeros(0, 3), 0
%     [g, nll, dnll] = pglikmt(0, 3, 4, 1, 2)
%     % => only n = 0 counts: dnll = [(4 - 2^2)/32; -2/4; 0] = [0; -0.5; 0]

% This file holds the help text only; the function is the compiled module.
error('pglikmt: the compiled module is not on the path');

%SHIFTPROXMT  Proximity operator of the shifted Poisson likelihood.
%   T = SHIFTPROXMT(V, U, GAMMA, S)
%   The shifted Poisson model approximates y = alpha*Poisson(x) + N(mean, var)
%   by U = max((y - mean)/alpha + S, 0) ~ Poisson(x + S), S = var/alpha^2.
%   Its data term (x + S) - U*log(x + S) is separable, and its proximity
%   operator acts element by element:
%
%     T(i) = argmin over t >= 0 of  (t + S) - U(i)*log(t + S) + (t - V(i))^2/(2*GAMMA(i))
%
%   In z = t + S that is the positive root of z^2 + b*z - GAMMA*U = 0,
%   b = (GAMMA - S) - V, taken without cancellation:
%
%     d = sqrt(b^2 + (4*GAMMA)*U)
%     z = (2*GAMMA)*U / (b + d)   where b > 0,   (d - b)/2 elsewhere
%     T = z - S where that is not negative, else 0
%
%   operation by operation in that order, so T has the bits of the same
%   formulas written as array operations in MATLAB or Octave. PGRESTORE uses
%   it for 'Likelihood', 'shifted': as the primal step when denoising, and
%   through Moreau's identity, W - SIGMA*SHIFTPROXMT(W/SIGMA, U, 1/SIGMA, S),
%   as the data term's dual step when deblurring.
%
%   V and U are full real double arrays of any shapes with the same number of
%   elements; T has the shape of V. GAMMA is a positive finite real double
%   scalar, or a full real double array with one step per element of V. S is
%   a nonnegative finite real double scalar.
%
%   Elements handled apart:
%     V(i) or U(i) NaN                  T(i) = NaN
%     GAMMA(i) <= 0 or NaN (array)      T(i) = NaN
%     GAMMA(i) = Inf (array)            T(i) = max(U(i) - S, 0), the maximum-
%                                       likelihood t
%     V(i) = Inf                        T(i) = Inf
%     V(i) = -Inf                       T(i) = 0
%     U(i) = Inf                        T(i) = NaN
%
%   Every online processor shares the elements, as long as each has enough
%   of them to repay its thread; the environment variable PGMEX_NUM_THREADS,
%   read at each call, caps their number. T has the same bits on any number
%   of threads and on every processor (AVX-512, AVX2 and scalar code).
%
%   Errors (identifier: cause), checked in this order:
%     pgmex:shiftproxmt:invalidNumInputs    not exactly four inputs
%     pgmex:shiftproxmt:invalidNumOutputs   more than one output
%     pgmex:shiftproxmt:vNotDouble          V not a full double array
%     pgmex:shiftproxmt:vComplex            V complex
%     pgmex:shiftproxmt:uNotDouble          U not a full double array
%     pgmex:shiftproxmt:uComplex            U complex
%     pgmex:shiftproxmt:lengthMismatch      V and U of different element counts
%     pgmex:shiftproxmt:vTooLong            V longer than 2147483647 elements
%     pgmex:shiftproxmt:gammaNotDouble      GAMMA not a full real double array
%     pgmex:shiftproxmt:gammaSize           GAMMA neither a scalar nor like V
%     pgmex:shiftproxmt:gammaNotPositive    a scalar GAMMA not positive and finite
%     pgmex:shiftproxmt:sNotScalar          S not a real double scalar
%     pgmex:shiftproxmt:sNotNonnegative     S negative, NaN or infinite
%
%   Example: Poisson counts without read noise (S = 0): T solves
%   t^2 + (GAMMA - V)*t - GAMMA*U = 0
%     t = shiftproxmt([1 2], [4 0], 2, 0)   % [(-1 + sqrt(33))/2, 0]
%
%   See also PGPROXMT, PGRESTORE.

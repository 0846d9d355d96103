%DATAPDSTEP  The data term's dual step of PGRESTORE's primal-dual method.
%   QT = DATAPDSTEP(Q, HXT, HX, SIGMA, Y, VAR, MEAN, ALPHA)   exact likelihood
%   QT = DATAPDSTEP(Q, HXT, HX, SIGMA, U, S)                  shifted Poisson
%   When PGRESTORE deblurs, the data term F enters its primal-dual method
%   through its conjugate, whose proximity operator Moreau's identity gives
%   from F's own. DATAPDSTEP takes that step in one pass over the arrays,
%   where whole-array operations would take six:
%
%     W  = Q + SIGMA*(2*HXT - HX)
%     QT = W - SIGMA*PROX(W/SIGMA)
%
%   operation by operation in that order, with PROX the proximity operator
%   of F with step 1/SIGMA: PGPROXMT(., Y, 1/SIGMA, VAR, MEAN, ALPHA) for
%   the exact Poisson-Gaussian likelihood (eight inputs), SHIFTPROXMT(., U,
%   1/SIGMA, S) for the shifted Poisson model (six inputs). QT has the bits
%   of those formulas written as array operations in MATLAB or Octave.
%
%   Q, HXT, HX and the data (Y or U) are full real double arrays with the
%   same number of elements; QT has the shape of Q. SIGMA is a positive
%   finite real double scalar; VAR, MEAN, ALPHA and S are as PGPROXMT and
%   SHIFTPROXMT take them. Elements that are NaN or infinite go through the
%   formulas above, with the special elements of PGPROXMT and SHIFTPROXMT;
%   a SIGMA so small that 1/SIGMA overflows takes the step Inf as those
%   take it element by element (the maximum-likelihood point).
%
%   Every online processor shares the elements, as long as each has enough
%   of them to repay its thread; the environment variable PGMEX_NUM_THREADS,
%   read at each call, caps their number. QT has the same bits on any number
%   of threads and on every processor (AVX-512, AVX2 and scalar code).
%
%   Errors (identifier: cause), checked in this order:
%     pgmex:datapdstep:invalidNumInputs    neither six nor eight inputs
%     pgmex:datapdstep:invalidNumOutputs   more than one output
%     pgmex:datapdstep:varNotScalar        (eight inputs) VAR not a real
%                                          double scalar
%     pgmex:datapdstep:varNotPositive      VAR not positive and finite
%     pgmex:datapdstep:meanNotScalar       MEAN not a real double scalar
%     pgmex:datapdstep:meanNotFinite       MEAN not finite
%     pgmex:datapdstep:alphaNotScalar      ALPHA not a real double scalar
%     pgmex:datapdstep:alphaNotPositive    ALPHA not positive and finite
%     pgmex:datapdstep:sNotScalar          (six inputs) S not a real double
%                                          scalar
%     pgmex:datapdstep:sNotNonnegative     S negative, NaN or infinite
%     pgmex:datapdstep:sigmaNotScalar      SIGMA not a real double scalar
%     pgmex:datapdstep:sigmaNotPositive    SIGMA not positive and finite
%     pgmex:datapdstep:qNotDouble          Q not a full double array (sparse,
%                                          other class)
%     pgmex:datapdstep:qComplex            Q complex
%     pgmex:datapdstep:HxtNotDouble        HXT not a full double array
%     pgmex:datapdstep:HxtComplex          HXT complex
%     pgmex:datapdstep:HxNotDouble         HX not a full double array
%     pgmex:datapdstep:HxComplex           HX complex
%     pgmex:datapdstep:yNotDouble          (eight inputs) Y not a full double
%                                          array
%     pgmex:datapdstep:yComplex            Y complex
%     pgmex:datapdstep:uNotDouble          (six inputs) U not a full double
%                                          array
%     pgmex:datapdstep:uComplex            U complex
%     pgmex:datapdstep:lengthMismatch      the arrays of different element
%                                          counts
%     pgmex:datapdstep:qTooLong            Q longer than 2147483647 elements
%
%   Example: Poisson counts without read noise (S = 0) and SIGMA = 1, so
%   that W = Q and PROX solves t^2 + (1 - W)*t - U = 0:
%     qt = datapdstep([1 2], [0 0], [0 0], 1, [4 0], 0)
%     % [-1 1]: t = 2 where W = 1 and U = 4, t = 1 where W = 2 and U = 0
%
%   See also PGRESTORE, PGPROXMT, SHIFTPROXMT, TVPDSTEP.

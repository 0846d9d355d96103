%OBSEXPSCALE  Per-observation exponential table.
%   OUT = OBSEXPSCALE(Y, VAR, MEAN, ALPHA) returns, for every observation
%   Y(i), exp(ALPHA/VAR * (Y(i) - MEAN)), as a row with one entry per element
%   of Y whatever its orientation. VAR, MEAN and ALPHA are the Gaussian noise
%   variance, the Gaussian noise mean and the Poisson scaling parameter.
%
%   Y is a non-empty full double vector (a complex one is read by its real
%   part); VAR, MEAN and ALPHA are real double scalars. Their values are not
%   tested: VAR = 0 or non-finite parameters give IEEE infinities, zeros or
%   NaN. The quotient ALPHA/VAR is formed first, then (Y(i) - MEAN) times it.
%
%   Errors (identifier: cause), checked in this order:
%     MATLAB:obsexpscale:invalidNumInputs    not exactly four inputs
%     MATLAB:obsexpscale:invalidNumOutputs   not exactly one output
%     MATLAB:obsexpscale:xNotScalar          VAR not a real double scalar
%     MATLAB:mixlikelihood:xNotScalar        MEAN not a real double scalar
%     MATLAB:obsexpscale:xNotScalar          ALPHA not a real double scalar
%     MATLAB:xtimesy:xNotScalar              Y not a non-empty vector
%     MATLAB:obsexpscale:yNotDouble          Y not a full double array
%     MATLAB:obsexpscale:yTooLong            Y of more than 2^31-1 elements
%
%   Example:
%     obsexpscale([1 2 3], 2, 1, 1)     % => [1 exp(0.5) exp(1)]
%     obsexpscale([4; 4], 3, 4, 7)      % an observation equal to MEAN => [1 1]
%     obsexpscale([NaN 0], 1, 0, 1)     % => [NaN 1]

% This file holds the help text only; the function is the compiled module.
error('obsexpscale: the compiled module is not on the path');

%TERMDECAY  Decaying exponential table with a Lambert W length bound.
%   OUT = TERMDECAY(Y, VAR, MEAN, ALPHA, MARGIN) returns the 1-by-L row
%   [0, exp(-C), exp(-2*C), ..., exp(-(L-1)*C)] with C = ALPHA^2/VAR: 0 at
%   index 0, exp(-n*C) at index n. The length L is derived, not given:
%
%     M = the largest element of Y (NaN skipped, never below 0)
%     W = LambertW0(M * exp(ALPHA*(M - MEAN)/VAR) * C)
%     L = ceil(ceil(sqrt(VAR)/ALPHA) * MARGIN + 1 + W/C)
%
%   so W/C solves n*exp(n*C) = M*exp(ALPHA*(M - MEAN)/VAR): the table reaches
%   past the largest observation by MARGIN steps of the noise's standard
%   deviation counted in ALPHA.
%
%   Y is a non-empty full double vector; VAR, MEAN and ALPHA are real double
%   scalars; of MARGIN only the first element counts, whatever its numeric,
%   logical or char class, and it must have one.
%   A length that is not a whole number from 0 to 2^31-1 (VAR <= 0, ALPHA = 0,
%   an infinite observation, an overflowing exponent, too negative a MARGIN)
%   is refused; a length of 0 gives a 1-by-0 row.
%
%   Errors (identifier: cause), checked in this order:
%     MATLAB:termdecay:invalidNumInputs      not exactly five inputs
%     MATLAB:termdecay:invalidNumOutputs     not exactly one output
%     MATLAB:termdecay:varNotScalar          VAR not a real double scalar
%     MATLAB:termdecay:alphaNotScalar        MEAN not a real double scalar
%     MATLAB:termdecay:meanNotScalar         ALPHA not a real double scalar
%     MATLAB:termdecay:xNotScalar            Y not a non-empty vector
%     MATLAB:termdecay:yNotDouble            Y not a full double array
%     MATLAB:termdecay:marginNotNumeric      MARGIN empty, or a cell, struct
%                                            or function handle
%     MATLAB:termdecay:invalidLength         L not a whole number from 0 to
%                                            2^31-1
%
%   Example:
%     termdecay([0.5 2 NaN -1], 1, 0, 1, 2.5)   % L = 6
%     % => [0 exp(-1) exp(-2) exp(-3) exp(-4) exp(-5)]
%     numel(termdecay(3, 4, 1, 0.5, 3))        % => 17
%     termdecay(-1, 1, 0, 1, 0)                % nothing above 0, MARGIN 0 => 0

% This file holds the help text only; the function is the compiled module.
error('termdecay: the compiled module is not on the path');

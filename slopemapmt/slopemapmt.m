%SLOPEMAPMT  Elementwise gradient map over worker threads.
%   OUT = SLOPEMAPMT(X, Y, EXP_TABLE_Y, EXP_TABLE_N, VAR, MEAN, ALPHA, U)
%   returns the column
%
%     OUT(i) = 1 - exp(-(2*(X(i) - Y(i)) + 1) / (2*(X(i) + VAR)))
%
%   for i = 1 .. LEN, where LEN is the larger dimension of X. OUT is a real
%   column of LEN elements whatever the orientation of X and Y. For a matrix
%   X the first LEN elements in column order are used, with the first LEN
%   elements of Y; elements of Y beyond LEN are ignored.
%
%   X and Y are full double arrays (a complex one is read by its real part),
%   and Y holds at least LEN elements. VAR, MEAN and ALPHA are real double
%   scalars; MEAN and ALPHA are checked but do not change the result.
%   EXP_TABLE_Y, EXP_TABLE_N and U are accepted and never read. Three
%   quarters of the online processors, at least one, share the elements.
%
%   No element is tested: a zero denominator, an infinity or a NaN follows
%   IEEE arithmetic into the output, and a NaN VAR makes every element NaN.
%
%   Errors (identifier: cause), checked in this order:
%     MATLAB:xtimesy:invalidNumInputs        not exactly eight inputs
%     MATLAB:xtimesy:invalidNumOutputs       not exactly one output
%     MATLAB:noiseslope:varNotScalar         VAR not a real double scalar
%     MATLAB:noiseslope:meanNotScalar        MEAN not a real double scalar
%     MATLAB:noiseslope:alphaNotScalar       ALPHA not a real double scalar
%     MATLAB:slopemapmt:xNotDouble           X not a full double array
%     MATLAB:slopemapmt:yNotDouble           Y not a full double array
%     MATLAB:slopemapmt:xTooLong             LEN above 2^31-1
%     MATLAB:slopemapmt:xNoElements          X empty with a nonzero dimension
%     MATLAB:slopemapmt:yTooShort            Y of fewer than LEN elements
%
%   Example:
%     slopemapmt(1, 0, [], [], 0.5, 0, 1, [])     % => 1 - exp(-1)
%     slopemapmt([1 0 -1], [1; 0; 0], [], [], 0, 0, 1, [])
%     % => [1 - exp(-0.5); 1; -Inf]
%     slopemapmt([], [], [], [], 1, 0, 1, [])      % => zeros(0, 1)

% This file holds the help text only; the function is the compiled module.
error('slopemapmt: the compiled module is not on the path');

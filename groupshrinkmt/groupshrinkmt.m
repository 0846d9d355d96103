%GROUPSHRINKMT  Group soft-thresholding over worker threads.
%   OUT = GROUPSHRINKMT(Y, DEGREE, GAMMA, NX, NY) cuts the vector Y into
%   consecutive groups whose sizes are the whole parts of the entries of
%   DEGREE, and scales each group G by max(1 - GAMMA/norm(G), 0). This is the
%   proximity operator of GAMMA times the sum of the groups' Euclidean norms.
%
%   Y and DEGREE are full double vectors (a complex one is read by its real
%   part); GAMMA is a real double scalar; NX and NY are accepted and never
%   read. The whole parts of DEGREE must be non-negative and add up to
%   numel(Y). OUT is a real column as long as Y. Half the online processors,
%   at least one, share the groups.
%
%   A group whose norm is 0, or at most GAMMA, becomes signed zeros; a group
%   holding a NaN becomes zeros of the elements' signs with NaN where the
%   NaN and infinite elements were.
%
%   Errors (identifier: cause), checked in this order:
%     MATLAB:groupshrink:invalidNumInputs    not exactly five inputs
%     MATLAB:groupshrink:invalidNumOutputs   not exactly one output
%     MATLAB:groupshrink:xNotScalar          GAMMA not a real double scalar
%     MATLAB:groupshrink:xNotVector          Y or DEGREE not a non-empty vector
%     MATLAB:groupshrink:incorrectSize       DEGREE longer than Y
%     MATLAB:groupshrink:yNotDouble          Y not a full double array
%     MATLAB:groupshrink:degreeNotDouble     DEGREE not a full double array
%     MATLAB:groupshrink:yTooLong            Y of more than 2^31-1 elements
%     MATLAB:groupshrink:invalidNumInputs    "The sum of degrees is too large":
%                                            the whole parts of DEGREE do not
%                                            add up to numel(Y), or one is
%                                            -1 or below, infinite or NaN
%
%   Example:
%     groupshrinkmt([3 4 0 0 1 -1 -5], [2 2 2 1], 2.5, [], [])
%     % => [1.5; 2; 0; 0; 0; -0; -2.5]
%     groupshrinkmt(5, 1, 2, [], [])     % => 3, that is sign(v)*max(|v|-gamma, 0)
%     groupshrinkmt([3 4], 0.7 + [0 2], 0, [], [])  % 0.7 is an empty group
%     % => [3; 4]

% This file holds the help text only; the function is the compiled module.
error('groupshrinkmt: the compiled module is not on the path');

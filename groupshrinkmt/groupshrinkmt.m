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
%   Example:
%     groupshrinkmt([3 4 0 0 1 -1 -5], [2 2 2 1], 2.5, [], [])
%     % => [1.5; 2; 0; 0; 0; -0; -2.5]
%     groupshrinkmt(5, 1, 2, [], [])     % => 3, that is sign(v)*max(|v|-gamma, 0)
%     groupshrinkmt([3 4], 0.7 + [0 2], 0, [], [])  % 0.7 is an empty group
%     % => [3; 4]

% This file holds the help text only; the function is the compiled module.
error('groupshrinkmt: the compiled module is not on the path');

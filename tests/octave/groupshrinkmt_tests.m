% groupshrinkmt in Octave: the gateway's errors and their order, the shapes it
% accepts, the value rules, and bit-for-bit agreement with a reference that
% rounds in the module's order.

%!function out = reference_shrink (y, degree, gamma)
%!  out = zeros (numel (y), 1);
%!  start = 0;
%!  for g = 1:numel (degree)
%!    n = fix (degree(g));
%!    if (n <= 0)
%!      continue;
%!    end
%!    s = 0;
%!    for j = 1:n
%!      s = s + y(start + j) * y(start + j);
%!    end
%!    nrm = sqrt (s);
%!    factor = 0;
%!    if (nrm != 0)
%!      t = 1 - gamma / nrm;
%!      if (t > 0)
%!        factor = t;
%!      end
%!    end
%!    for j = 1:n
%!      out(start + j) = factor * y(start + j);
%!    end
%!    start = start + n;
%!  end
%!endfunction

%!shared inputs_msg, sum_msg, shape_msg
%! inputs_msg = 'Five inputs required: y - image(vector); degree - vector; gamma - scalar ; size(degree)<= size(y)); (nx, ny)-not used';
%! sum_msg = 'The sum of degrees is too large';
%! shape_msg = 'Input y, degree must be vectors.';

%!test
%! % id, message, then the arguments; the first failing check decides.
%! cases = {
%!   'MATLAB:groupshrink:invalidNumInputs', inputs_msg, {1, 1, 1, []}
%!   'MATLAB:groupshrink:invalidNumInputs', inputs_msg, {1, 1, 1, [], [], []}
%!   'MATLAB:groupshrink:xNotScalar', 'Input gamma must be a scalar.', {1, 1, [1 2], [], []}
%!   'MATLAB:groupshrink:xNotScalar', 'Input gamma must be a scalar.', {1, 1, [], [], []}
%!   'MATLAB:groupshrink:xNotScalar', 'Input gamma must be a scalar.', {1, 1, 1i, [], []}
%!   'MATLAB:groupshrink:xNotScalar', 'Input gamma must be a scalar.', {1, 1, single(1), [], []}
%!   'MATLAB:groupshrink:xNotScalar', 'Input gamma must be a scalar.', {1, 1, int32(1), [], []}
%!   'MATLAB:groupshrink:xNotScalar', 'Input gamma must be a scalar.', {1, 1, true, [], []}
%!   'MATLAB:groupshrink:xNotScalar', 'Input gamma must be a scalar.', {1, 1, 'a', [], []}
%!   'MATLAB:groupshrink:xNotScalar', 'Input gamma must be a scalar.', {ones(2, 3), 1, [1 2], [], []}
%!   'MATLAB:groupshrink:xNotVector', shape_msg, {[], 1, 1, [], []}
%!   'MATLAB:groupshrink:xNotVector', shape_msg, {zeros(1, 0), 1, 1, [], []}
%!   'MATLAB:groupshrink:xNotVector', shape_msg, {zeros(0, 1), 1, 1, [], []}
%!   'MATLAB:groupshrink:xNotVector', shape_msg, {ones(2, 3), 1, 1, [], []}
%!   'MATLAB:groupshrink:xNotVector', shape_msg, {1:3, [], 1, [], []}
%!   'MATLAB:groupshrink:xNotVector', shape_msg, {int32(ones(2, 3)), 1, 1, [], []}
%!   'MATLAB:groupshrink:incorrectSize', 'Size of image y must be greater or equal than size of vector degree', {1:3, [1 1 1 0], 1, [], []}
%!   'MATLAB:groupshrink:invalidNumInputs', sum_msg, {1:3, [2 2], 1, [], []}
%!   'MATLAB:groupshrink:invalidNumInputs', sum_msg, {1:3, [1 1], 1, [], []}
%!   'MATLAB:groupshrink:invalidNumInputs', sum_msg, {1:5, [2.5 2.5], 1, [], []}
%!   'MATLAB:groupshrink:invalidNumInputs', sum_msg, {1:3, [3 -1 1], 1, [], []}
%!   'MATLAB:groupshrink:invalidNumInputs', sum_msg, {1:3, [3 NaN], 1, [], []}
%!   'MATLAB:groupshrink:invalidNumInputs', sum_msg, {1:3, [Inf 3], 1, [], []}
%!   'MATLAB:groupshrink:invalidNumInputs', sum_msg, {1:3, [2^31 3], 1, [], []}
%!   'MATLAB:groupshrink:invalidNumInputs', sum_msg, {1:3, [2^31-1, 2^31-1, 5], 1, [], []}
%!   'MATLAB:groupshrink:yNotDouble', 'Input y must be a full double array.', {single(1:3), [1 1 1], 1, [], []}
%!   'MATLAB:groupshrink:yNotDouble', 'Input y must be a full double array.', {int32(1:3), [1 1 1], 1, [], []}
%!   'MATLAB:groupshrink:yNotDouble', 'Input y must be a full double array.', {true(1, 3), [1 1 1], 1, [], []}
%!   'MATLAB:groupshrink:yNotDouble', 'Input y must be a full double array.', {'abc', [1 1 1], 1, [], []}
%!   'MATLAB:groupshrink:yNotDouble', 'Input y must be a full double array.', {sparse([1 0 3]), [1 1 1], 1, [], []}
%!   'MATLAB:groupshrink:degreeNotDouble', 'Input degree must be a full double array.', {1:3, single([1 1 1]), 1, [], []}
%!   'MATLAB:groupshrink:degreeNotDouble', 'Input degree must be a full double array.', {1:3, sparse([1 1 1]), 1, [], []}
%! };
%! for k = 1:rows (cases)
%!   assert_host_error (@groupshrinkmt, cases{k, 3}, cases{k, 1}, cases{k, 2});
%! end

%!test
%! % The output count: none and two are refused, after the input count.
%! try
%!   groupshrinkmt (1, 1, 1, [], []);
%!   error ('no error for nlhs = 0');
%! catch err
%!   assert (err.identifier, 'MATLAB:groupshrink:invalidNumOutputs');
%! end
%! try
%!   [a, b] = groupshrinkmt (1, 1, 1, [], []);
%!   error ('no error for nlhs = 2');
%! catch err
%!   assert (err.identifier, 'MATLAB:groupshrink:invalidNumOutputs');
%! end
%! try
%!   [a, b] = groupshrinkmt (1, 1, 1, []);
%!   error ('no error for nrhs = 4');
%! catch err
%!   assert (err.identifier, 'MATLAB:groupshrink:invalidNumInputs');
%! end

%!test
%! % Shapes: always a real column; complex inputs read by their real parts;
%! % the unused inputs may be anything.
%! same_bits (groupshrinkmt (4, 1, 1, [], []), 3);
%! same_bits (groupshrinkmt ([3 4 0], [2 1], 2.5, [], []), [1.5; 2; 0]);
%! same_bits (groupshrinkmt ([3; 4; 0], [2; 1], 2.5, 'x', {}), [1.5; 2; 0]);
%! out = groupshrinkmt ([3 4 0] + 100i, [2 1] + 9i, 2.5, int8(7), sparse(2, 2));
%! assert (isreal (out));
%! same_bits (out, [1.5; 2; 0]);

%!test
%! % Value rules, each checked by hand: y, degree, gamma, expected output.
%! cases = {
%!   [3 4 0 0 1 -1 -5], [2 2 2 1], 2.5, [1.5 2 0 0 0 -0 -2.5]
%!   [-0 0], [1 1], 1, [-0 0]
%!   [0.5 -0.5], [1 1], 1, [0 -0]
%!   [3 -4], 2, 5, [0 -0]
%!   [1e-200 -1e-200], 2, 0, [0 -0]
%!   [NaN 1 -1 2], [3 1], 0.5, [NaN 0 -0 1.5]
%!   [Inf -2], 2, 1, [Inf -2]
%!   [1e200 -1e200], 2, 1, [1e200 -1e200]
%!   [3 -4 7], [2 1], 0, [3 -4 7]
%!   [3 4], 2, -5, [6 8]
%!   [3 -4 Inf], 3, Inf, [0 -0 NaN]
%!   [3 -4 Inf], [2 1], NaN, [0 -0 NaN]
%!   [3 4 12], [0.7 3], 0, [3 4 12]
%!   [3 4 -2], [2.9 1.5], 2.5, [1.5 2 -0]
%!   [3 4 12], [2 -0.5 1], 6, [0 0 6]
%! };
%! for k = 1:rows (cases)
%!   same_bits (groupshrinkmt (cases{k, 1}, cases{k, 2}, cases{k, 3}, [], []), cases{k, 4}(:));
%! end

%!test
%! % Random groups against the reference, bit for bit.
%! rand ('seed', 7);
%! for trial = 1:40
%!   sizes = floor (rand (1, 1 + mod (trial, 17)) * 6);
%!   sizes(end) = sizes(end) + 1;
%!   degree = sizes + 0.99 * rand (size (sizes));
%!   y = (rand (1, sum (sizes)) - 0.5) .* 10 .^ floor (rand (1, sum (sizes)) * 7 - 3);
%!   if (numel (y) < numel (degree))
%!     continue;
%!   end
%!   gamma = 3 * rand ();
%!   same_bits (groupshrinkmt (y, degree, gamma, [], []), reference_shrink (y, degree, gamma));
%! end

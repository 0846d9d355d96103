% termdecay in Octave: the gateway's errors and their order, the fifth input
% read by its first element, the worked examples and the table's values.

%!shared inputs_msg, length_msg, margin_msg
%! margin_msg = 'The fifth input (margin) must hold at least one number.';
%! inputs_msg = 'Four inputs required: y - vector (observations); var - scalar; mean - scalar; alpha - scalar';
%! length_msg = 'The table length is not a whole number from 0 to 2147483647: var must be positive, alpha nonzero, y finite, the exponent from y, mean, alpha and var not overflow, and the fifth input (margin) not so negative that the length falls below 0.';

%!test
%! % id, message, then the arguments; the first failing check decides.
%! y = [0.5 2];
%! cases = {
%!   'MATLAB:termdecay:invalidNumInputs', inputs_msg, {y, 1, 0, 1}
%!   'MATLAB:termdecay:invalidNumInputs', inputs_msg, {y, 1, 0, 1, 2, 3}
%!   'MATLAB:termdecay:varNotScalar', 'Input var must be a scalar.', {y, [1 2], 0, 1, 2}
%!   'MATLAB:termdecay:varNotScalar', 'Input var must be a scalar.', {y, 1i, 0, 1, 2}
%!   'MATLAB:termdecay:varNotScalar', 'Input var must be a scalar.', {ones(2, 3), single(1), 0, [1 2], 2}
%!   'MATLAB:termdecay:alphaNotScalar', 'Input mean must be a scalar.', {y, 1, [0 0], 1, 2}
%!   'MATLAB:termdecay:alphaNotScalar', 'Input mean must be a scalar.', {y, 1, [], [], 2}
%!   'MATLAB:termdecay:meanNotScalar', 'Input alpha must be a scalar.', {y, 1, 0, int32(1), 2}
%!   'MATLAB:termdecay:meanNotScalar', 'Input alpha must be a scalar.', {ones(2, 3), 1, 0, [1 1], 2}
%!   'MATLAB:termdecay:xNotScalar', 'Input y must be a vector.', {ones(2, 3), 1, 0, 1, 2}
%!   'MATLAB:termdecay:xNotScalar', 'Input y must be a vector.', {[], 1, 0, 1, 2}
%!   'MATLAB:termdecay:xNotScalar', 'Input y must be a vector.', {zeros(1, 0), 1, 0, 1, 2}
%!   'MATLAB:termdecay:xNotScalar', 'Input y must be a vector.', {int32(ones(2, 3)), 1, 0, 1, 2}
%!   'MATLAB:termdecay:yNotDouble', 'Input y must be a full double array.', {single(y), 1, 0, 1, 2}
%!   'MATLAB:termdecay:yNotDouble', 'Input y must be a full double array.', {int16(y), 1, 0, 1, 2}
%!   'MATLAB:termdecay:yNotDouble', 'Input y must be a full double array.', {[true false], 1, 0, 1, 2}
%!   'MATLAB:termdecay:yNotDouble', 'Input y must be a full double array.', {'ab', 1, 0, 1, 2}
%!   'MATLAB:termdecay:yNotDouble', 'Input y must be a full double array.', {sparse(y), 1, 0, 1, 2}
%!   'MATLAB:termdecay:invalidLength', length_msg, {y, 0, 0, 1, 2}
%!   'MATLAB:termdecay:invalidLength', length_msg, {y, -1, 0, 1, 2}
%!   'MATLAB:termdecay:invalidLength', length_msg, {y, 1, 0, 0, 2}
%!   'MATLAB:termdecay:invalidLength', length_msg, {[1 Inf], 1, 0, 1, 2}
%!   'MATLAB:termdecay:invalidLength', length_msg, {1000, 1e-3, 0, 1, 2}
%!   'MATLAB:termdecay:invalidLength', length_msg, {y, 1, 0, 1, -10}
%!   'MATLAB:termdecay:invalidLength', length_msg, {y, 1, 0, 1, 1e10}
%!   'MATLAB:termdecay:marginNotNumeric', margin_msg, {y, 1, 0, 1, []}
%!   'MATLAB:termdecay:marginNotNumeric', margin_msg, {y, 1, 0, 1, zeros(1, 0)}
%!   'MATLAB:termdecay:marginNotNumeric', margin_msg, {y, 1, 0, 1, int8([])}
%!   'MATLAB:termdecay:marginNotNumeric', margin_msg, {y, 1, 0, 1, sparse(0, 0)}
%!   'MATLAB:termdecay:marginNotNumeric', margin_msg, {y, 1, 0, 1, {2}}
%!   'MATLAB:termdecay:marginNotNumeric', margin_msg, {y, 1, 0, 1, struct('a', 2)}
%!   'MATLAB:termdecay:marginNotNumeric', margin_msg, {y, 1, 0, 1, @sin}
%!   'MATLAB:termdecay:xNotScalar', 'Input y must be a vector.', {ones(2, 3), 1, 0, 1, {}}
%! };
%! for k = 1:rows (cases)
%!   assert_host_error (@termdecay, cases{k, 3}, cases{k, 1}, cases{k, 2});
%! end

%!test
%! try
%!   termdecay (1, 1, 0, 1, 2);
%!   error ('no error for nlhs = 0');
%! catch err
%!   assert (err.identifier, 'MATLAB:termdecay:invalidNumOutputs');
%! end
%! try
%!   [a, b] = termdecay (1, 1, 0, 1, 2);
%!   error ('no error for nlhs = 2');
%! catch err
%!   assert (err.identifier, 'MATLAB:termdecay:invalidNumOutputs');
%! end

%!test
%! % The worked examples: y, var, mean, alpha, margin, expected row.
%! cases = {
%!   [0.5 2 NaN -1], 1, 0, 1, 2.5, [0, exp(-(1:5))]
%!   [-1 -3], 2, 0, 1, 3, [0, exp(-((1:6) * 0.5))]
%!   -1, 1, 0, 1, 0, 0
%!   0, 1, 0, 1, -1, zeros(1, 0)
%! };
%! for k = 1:rows (cases)
%!   same_bits (termdecay (cases{k, 1:5}), cases{k, 6});
%! end
%! assert (size (termdecay (3, 4, 1, 0.5, 3)), [1 17]);

%!test
%! % Only the first element of the fifth input counts, whatever its class;
%! % the output is a row whatever the orientation of y.
%! expected = termdecay ([0.5 2], 1, 0.5, 1, 3);
%! assert (size (expected), [1 6]);
%! same_bits (termdecay ([0.5 2], 1, 0.5, 1, [3 100]), expected);
%! same_bits (termdecay ([0.5 2], 1, 0.5, 1, [3; -100]), expected);
%! same_bits (termdecay ([0.5 2], 1, 0.5, 1, int32([3 7])), expected);
%! same_bits (termdecay ([0.5 2], 1, 0.5, 1, single(3)), expected);
%! same_bits (termdecay ([0.5; 2], 1, 0.5, 1, 3), expected);
%! same_bits (termdecay (2, 1, 0.5, 1, 3), expected);
%! same_bits (termdecay ([0.5 2 NaN], 1, 0.5, 1, 3), expected);

%!test
%! % Whatever the length, index 0 holds 0 and index n holds exp(-(n * c)).
%! rand ('seed', 3);
%! for trial = 1:40
%!   var = 0.01 + 10 * rand ();
%!   alpha = 0.05 + 3 * rand ();
%!   out = termdecay (12 * rand (1, 5) - 4, var, 4 * rand () - 2, alpha, 5 * rand ());
%!   c = (alpha * alpha) / var;
%!   expected = zeros (size (out));
%!   for n = 1:numel (out) - 1
%!     expected(n + 1) = exp (-(n * c));
%!   end
%!   same_bits (out, expected);
%! end

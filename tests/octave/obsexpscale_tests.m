% obsexpscale in Octave: the gateway's errors and their order, the row it
% returns, the IEEE value rules and bit-for-bit agreement with a reference
% that forms alpha / var first.

%!shared inputs_msg
%! inputs_msg = 'Four inputs required: y - vector(observations); var - scalar; mean - scalar; alpha - scalar';

%!test
%! % id, message, then the arguments; the first failing check decides.
%! cases = {
%!   'MATLAB:obsexpscale:invalidNumInputs', inputs_msg, {1, 1, 1}
%!   'MATLAB:obsexpscale:invalidNumInputs', inputs_msg, {1, 1, 1, 1, 1}
%!   'MATLAB:obsexpscale:xNotScalar', 'Input var must be a scalar.', {1, [1 2], 1, 1}
%!   'MATLAB:obsexpscale:xNotScalar', 'Input var must be a scalar.', {1, 1i, 1, 1}
%!   'MATLAB:obsexpscale:xNotScalar', 'Input var must be a scalar.', {1, single(1), 1, 1}
%!   'MATLAB:obsexpscale:xNotScalar', 'Input var must be a scalar.', {ones(2, 3), [], 1, 1}
%!   'MATLAB:mixlikelihood:xNotScalar', 'Input mean must be a scalar.', {1, 1, int32(1), 1}
%!   'MATLAB:mixlikelihood:xNotScalar', 'Input mean must be a scalar.', {1, 1, [1 2], [1 2]}
%!   'MATLAB:obsexpscale:xNotScalar', 'Input alpha must be a scalar.', {1, 1, 1, true}
%!   'MATLAB:obsexpscale:xNotScalar', 'Input alpha must be a scalar.', {ones(2, 3), 1, 1, 'a'}
%!   'MATLAB:xtimesy:xNotScalar', 'Input y must be a vector.', {ones(2, 3), 1, 1, 1}
%!   'MATLAB:xtimesy:xNotScalar', 'Input y must be a vector.', {[], 1, 1, 1}
%!   'MATLAB:xtimesy:xNotScalar', 'Input y must be a vector.', {zeros(1, 0), 1, 1, 1}
%!   'MATLAB:xtimesy:xNotScalar', 'Input y must be a vector.', {zeros(0, 1), 1, 1, 1}
%!   'MATLAB:xtimesy:xNotScalar', 'Input y must be a vector.', {int32(ones(2, 3)), 1, 1, 1}
%!   'MATLAB:obsexpscale:yNotDouble', 'Input y must be a full double array.', {single([1 2]), 1, 1, 1}
%!   'MATLAB:obsexpscale:yNotDouble', 'Input y must be a full double array.', {uint8([1 2]), 1, 1, 1}
%!   'MATLAB:obsexpscale:yNotDouble', 'Input y must be a full double array.', {[true false], 1, 1, 1}
%!   'MATLAB:obsexpscale:yNotDouble', 'Input y must be a full double array.', {'ab', 1, 1, 1}
%!   'MATLAB:obsexpscale:yNotDouble', 'Input y must be a full double array.', {sparse([0 2 0]), 1, 1, 1}
%! };
%! for k = 1:rows (cases)
%!   assert_host_error (@obsexpscale, cases{k, 3}, cases{k, 1}, cases{k, 2});
%! end

%!test
%! try
%!   obsexpscale (1, 1, 1, 1);
%!   error ('no error for nlhs = 0');
%! catch err
%!   assert (err.identifier, 'MATLAB:obsexpscale:invalidNumOutputs');
%! end
%! try
%!   [a, b] = obsexpscale (1, 1, 1, 1);
%!   error ('no error for nlhs = 2');
%! catch err
%!   assert (err.identifier, 'MATLAB:obsexpscale:invalidNumOutputs');
%! end

%!test
%! % Always a real row, one entry per observation.
%! same_bits (obsexpscale (3, 2, 1, 1), exp (1));
%! same_bits (obsexpscale ([1; 2; 3], 2, 1, 1), [1, exp(0.5), exp(1)]);
%! same_bits (obsexpscale ([1 2 3], 2, 1, 1), [1, exp(0.5), exp(1)]);
%! out = obsexpscale ([1 2] + 5i, 2, 1, 1);
%! assert (isreal (out));
%! same_bits (out, [1, exp(0.5)]);

%!test
%! % y, var, mean, alpha, expected: IEEE arithmetic, never an error.
%! cases = {
%!   [-7.25 4], 0.3, -7.25, 2.2, [1, exp((4 + 7.25) * (2.2 / 0.3))]
%!   [0 NaN 0], 1, 0, 1, [1 NaN 1]
%!   [2 1 0], 0, 1, 1, [Inf NaN 0]
%!   [2 0], -0, 1, 1, [0 Inf]
%!   [2 -5], Inf, 1, 1, [1 1]
%!   [2 1], 1, 1, NaN, [NaN NaN]
%!   [2 -3], 1, 1, 0, [1 1]
%! };
%! for k = 1:rows (cases)
%!   same_bits (obsexpscale (cases{k, 1:4}), cases{k, 5});
%! end

%!test
%! % Random observations against the reference, alpha / var formed first.
%! rand ('seed', 11);
%! for trial = 1:50
%!   var = (rand () + 0.01) * 2 ^ (floor (rand () * 10) - 5);
%!   mu = 20 * rand () - 10;
%!   alpha = 6 * rand () - 3;
%!   y = mu + 40 * rand (1, 1 + mod (trial, 29)) - 20;
%!   q = alpha / var;
%!   expected = zeros (size (y));
%!   for i = 1:numel (y)
%!     expected(i) = exp ((y(i) - mu) * q);
%!   end
%!   same_bits (obsexpscale (y, var, mu, alpha), expected);
%! end

% slopemapmt in Octave: the gateway's errors and their order, the column it
% returns for each shape, the IEEE value cases and bit-for-bit agreement with
% a reference that rounds in the module's order.

%!function out = reference_map (x, y, var)
%!  len = max (size (x));
%!  x = real (x(1:len)(:));
%!  y = real (y(1:len)(:));
%!  d = x - y;
%!  num = -((d + d) + 1);
%!  s = x + var;
%!  den = s + s;
%!  out = 1 - exp (num ./ den);
%!endfunction

%!shared inputs_msg
%! inputs_msg = 'Five inputs required: x - vector (orginal signal); y - vector of observations; exp_table_y - vector defined as: exp_table_y[i] = exp(alpha/var (y[i] - mean) ); exp_table_n - vector defined as: exp_table_n[i] = exp(-n alpha^2/var); var - scalar (Gaussian noise variance; mean - scalar (Gaussian noise mean); alpha- scalar (scaling parameter of Poisson noise)';

%!test
%! % id, message, then the arguments; the first failing check decides.
%! x = [1 2 3];
%! y = [0 1 2];
%! var_msg = 'Input var must be a scalar.';
%! mean_msg = 'Input mean must be a scalar.';
%! alpha_msg = 'Input alpha must be a scalar.';
%! x_class = 'Input x must be a full double array.';
%! y_class = 'Input y must be a full double array.';
%! hollow = 'Input x must hold as many elements as its length.';
%! short = 'Input y must hold at least as many elements as the length of x.';
%! cases = {
%!   'MATLAB:xtimesy:invalidNumInputs', inputs_msg, {x, y, [], [], 1}
%!   'MATLAB:xtimesy:invalidNumInputs', inputs_msg, {x, y, [], [], 1, 0, 1}
%!   'MATLAB:xtimesy:invalidNumInputs', inputs_msg, {x, y, [], [], 1, 0, 1, [], []}
%!   'MATLAB:noiseslope:varNotScalar', var_msg, {x, y, [], [], [1 2], 0, 1, []}
%!   'MATLAB:noiseslope:varNotScalar', var_msg, {x, y, [], [], 1i, 0, 1, []}
%!   'MATLAB:noiseslope:varNotScalar', var_msg, {x, y, [], [], single(1), 0, 1, []}
%!   'MATLAB:noiseslope:varNotScalar', var_msg, {x, y, [], [], int32(1), 0, 1, []}
%!   'MATLAB:noiseslope:varNotScalar', var_msg, {x, y, [], [], true, 0, 1, []}
%!   'MATLAB:noiseslope:varNotScalar', var_msg, {x, y, [], [], [], 0, 1, []}
%!   'MATLAB:noiseslope:varNotScalar', var_msg, {x, y, [], [], [], [1 2], 1, []}
%!   'MATLAB:noiseslope:meanNotScalar', mean_msg, {x, y, [], [], 1, [1 2], 1, []}
%!   'MATLAB:noiseslope:meanNotScalar', mean_msg, {x, y, [], [], 1, 1i, 1, []}
%!   'MATLAB:noiseslope:meanNotScalar', mean_msg, {x, y, [], [], 1, 'a', [], []}
%!   'MATLAB:noiseslope:alphaNotScalar', alpha_msg, {x, y, [], [], 1, 0, [], []}
%!   'MATLAB:noiseslope:alphaNotScalar', alpha_msg, {x, y, [], [], 1, 0, uint8(1), []}
%!   'MATLAB:noiseslope:alphaNotScalar', alpha_msg, {single(x), y, [], [], 1, 0, [1 2], []}
%!   'MATLAB:slopemapmt:xNotDouble', x_class, {single(x), y, [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:xNotDouble', x_class, {int32(x), y, [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:xNotDouble', x_class, {x > 1, y, [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:xNotDouble', x_class, {'abc', y, [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:xNotDouble', x_class, {sparse(x), y, [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:xNotDouble', x_class, {single(x), single(y), [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:yNotDouble', y_class, {x, single(y), [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:yNotDouble', y_class, {x, int8(y), [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:yNotDouble', y_class, {x, y > 1, [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:yNotDouble', y_class, {x, 'abc', [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:yNotDouble', y_class, {x, sparse(y), [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:yNotDouble', y_class, {[], single([]), [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:xNoElements', hollow, {zeros(0, 5), 1:5, [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:xNoElements', hollow, {zeros(5, 0), 1:5, [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:xNoElements', hollow, {zeros(0, 1), 1, [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:xNoElements', hollow, {zeros(1, 0), [], [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:yTooShort', short, {x, [1 2], [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:yTooShort', short, {x, [], [], [], 1, 0, 1, []}
%!   'MATLAB:slopemapmt:yTooShort', short, {1:5, ones(2, 2), [], [], 1, 0, 1, []}
%! };
%! for k = 1:rows (cases)
%!   assert_host_error (@slopemapmt, cases{k, 3}, cases{k, 1}, cases{k, 2});
%! end

%!test
%! % The output count: none and two are refused, after the input count.
%! try
%!   slopemapmt (1, 0, [], [], 1, 0, 1, []);
%!   error ('no error for nlhs = 0');
%! catch err
%!   assert (err.identifier, 'MATLAB:xtimesy:invalidNumOutputs');
%! end
%! try
%!   [a, b] = slopemapmt (1, 0, [], [], 1, 0, 1, []);
%!   error ('no error for nlhs = 2');
%! catch err
%!   assert (err.identifier, 'MATLAB:xtimesy:invalidNumOutputs');
%! end
%! try
%!   [a, b] = slopemapmt (1, 0, [], [], 1, 0, 1);
%!   error ('no error for nrhs = 7');
%! catch err
%!   assert (err.identifier, 'MATLAB:xtimesy:invalidNumInputs');
%! end

%!test
%! % Shapes: always a real column of len elements; a matrix x gives its
%! % larger dimension and its first elements in storage order; complex
%! % inputs are read by their real parts; surplus y is ignored.
%! x = [1 1 0 -1];
%! y = [0 1 0 0];
%! expected = reference_map (x, y, 0.5);
%! same_bits (slopemapmt (x, y, [], [], 0.5, 0, 1, []), expected);
%! same_bits (slopemapmt (x', y, [], [], 0.5, 0, 1, []), expected);
%! same_bits (slopemapmt (x, y', [], [], 0.5, 0, 1, []), expected);
%! same_bits (slopemapmt (x', y', [], [], 0.5, 0, 1, []), expected);
%! same_bits (slopemapmt (x, [y 5 NaN], [], [], 0.5, 0, 1, []), expected);
%! same_bits (slopemapmt (x, reshape (y, 2, 2), [], [], 0.5, 0, 1, []), expected);
%! x34 = reshape ([x 9 9 9 9 9 9 9 9], 3, 4);
%! y34 = reshape ([y 7 7 7 7 7 7 7 7], 3, 4);
%! same_bits (slopemapmt (x34, y34, [], [], 0.5, 0, 1, []), expected);
%! x43 = reshape ([x 9 9 9 9 9 9 9 9], 4, 3);
%! same_bits (slopemapmt (x43, y, [], [], 0.5, 0, 1, []), expected);
%! out = slopemapmt (x + 5i, y' - 3i, [], [], 0.5, 0, 1, []);
%! assert (isreal (out));
%! same_bits (out, expected);
%! same_bits (slopemapmt ([], [], [], [], 0.5, 0, 1, []), zeros (0, 1));
%! same_bits (slopemapmt ([], 1:3, [], [], 0.5, 0, 1, []), zeros (0, 1));

%!test
%! % Inputs 3, 4 and 8 may be anything; mean and alpha change nothing.
%! x = [1 -0.25 3e5 0.5 2];
%! y = [0 2 1e-3 0.5 -7];
%! expected = reference_map (x, y, 0.75);
%! same_bits (slopemapmt (x, y, 'abc', int32 (magic (4)), 0.75, 0, 1, {}), expected);
%! same_bits (slopemapmt (x, y, sparse (3, 3), struct (), 0.75, 0, 1, single (1:7)), expected);
%! same_bits (slopemapmt (x, y, {1, 2}, 1i, 0.75, 0, 1, true (0, 3)), expected);
%! means_alphas = [0 1; -0 0; 5 -2; Inf NaN; NaN -Inf; 1e308 1e-308];
%! for k = 1:rows (means_alphas)
%!   same_bits (slopemapmt (x, y, [], [], 0.75, means_alphas(k, 1), means_alphas(k, 2), []), expected);
%! end

%!test
%! % Value cases, checked by hand: x, y, var, expected column.
%! cases = {
%!   1, 0, 0.5, 1 - exp(-1)
%!   1, 1, 0, 1 - exp(-0.5)
%!   0, 0, 0, 1
%!   -1, 0, 1, -Inf
%!   -1, -0.5, 1, NaN
%!   [1 NaN 0], [0 0 0], 0.5, [1 - exp(-1); NaN; 1 - exp(-1)]
%!   [1 1 1], [0 NaN 1], 0.5, [1 - exp(-1); NaN; 1 - exp(-1/3)]
%!   [1 0 -1 5], [0 0 0 9], NaN, NaN(4, 1)
%!   Inf, 0, 1, NaN
%!   1, Inf, 1, -Inf
%!   1e308, 1e308, 1e308, 0
%! };
%! for k = 1:rows (cases)
%!   same_bits (slopemapmt (cases{k, 1}, cases{k, 2}, [], [], cases{k, 3}, 0, 1, []), cases{k, 4});
%! end

%!test
%! % Random elements over many magnitudes, some with x near -var, against
%! % the reference, bit for bit; the long ones are split over the workers.
%! rand ('seed', 11);
%! for trial = 1:30
%!   len = trial + 1000 * (trial > 25);
%!   var = 2 * rand ();
%!   scale = 10 .^ floor (rand (1, len) * 7 - 3);
%!   x = (6 * rand (1, len) - 3) .* scale;
%!   x(6:11:end) = -var + 1e-9 * (rand (size (x(6:11:end))) - 0.5);
%!   y = (6 * rand (len, 1) - 3) .* scale';
%!   same_bits (slopemapmt (x, y, [], [], var, 0, 1, []), reference_map (x, y, var));
%! end

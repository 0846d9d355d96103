% likelihood_series against the likelihood summed term by term in logs, far
% past the cut: E[n | y, x] and log(sum t_n) for dim, bright and mismatched
% pixels, including ones whose terms would overflow without the rescaling.
% A margin of 12 puts the cut so far out that what it drops is below 1e-30.
%   octave-cli --norc --no-history likelihood_series_test.m MEX_DIR EXAMPLES_DIR
args = argv ();
addpath (args{1}, args{2});
% alpha, mean, var, y, x
cases = {
  1,   0,  0.5, [-3 0 5 20 47 71 90], [0.01 0.5 3 12 30 60 95]
  1.5, 2,  9,   [-5 2 10 40 71],      [0.01 1 5 25 45]
  0.5, -1, 2,   [0 3 8 15],           [0.2 4 15 30]
  2,   0,  1,   [1 30 61],            [20 2 30]
};
failures = 0;
rescaled = false;
for k = 1:rows (cases)
  [alpha, mu, v, y, x] = cases{k, :};
  series = struct ('ratio', obsexpscale (y, v, mu, alpha) * exp (alpha^2 / (2 * v)), ...
                   'decay', termdecay (y, v, mu, alpha, 12));
  [meanCount, logSum] = likelihood_series (x, series);
  n = (0:4000)';
  for i = 1:numel (y)
    logTerm = n * log (x(i)) - gammaln (n + 1) + (2 * alpha * n * (y(i) - mu) - alpha^2 * n.^2) / (2 * v);
    top = max (logTerm);
    w = exp (logTerm - top);
    refLogSum = top + log (sum (w));
    refMean = sum (n .* w) / sum (w);
    rescaled = rescaled || refLogSum > log (1e105);
    if (abs (meanCount(i) - refMean) > 1e-10 * max (1, refMean)
        || abs (logSum(i) - refLogSum) > 1e-10 * max (1, abs (refLogSum)))
      printf ('FAIL case %d, y = %g, x = %g: E[n] %.15g (expected %.15g), log sum %.15g (expected %.15g)\n', ...
              k, y(i), x(i), meanCount(i), refMean, logSum(i), refLogSum);
      failures++;
    end
  end
end
if (! rescaled)
  printf ('FAIL no case reaches the rescaling\n');
  failures++;
end
printf ('likelihood_series: %d failures over %d cases\n', failures, rows (cases));
exit (failures > 0);

% Restoring a group-sparse signal observed through Poisson-Gaussian noise,
% with all four modules:
%   octave-cli --norc --no-history examples/demo.m MEX_DIR
%
% The observation is y = alpha * Poisson(x / alpha) + mean + sqrt(var) * N(0, 1)
% of a signal x made of groups of 16 samples, most of them zero. The
% restoration runs forward-backward steps: a gradient step on the data term
% (slopemapmt), then the proximity operator of the group norms together with
% x >= 0 (groupshrinkmt applied to the positive part). The groups it keeps
% are then refitted without the penalty, which removes its shrinkage bias.
% obsexpscale and termdecay give the per-observation and per-count tables of
% the exact likelihood, which the gradient map takes along.
args = argv ();
addpath (args{1});

rand ('seed', 1);
randn ('seed', 1);
randp ('seed', 1);

groups = 32;
width = 16;
active = [3 4 9 15 16 17 24 30];
t = (1:width)' / width;
truth = zeros (groups * width, 1);
for g = active
  truth((g - 1) * width + (1:width)) = 3 + 6 * (1 + mod (g, 3)) * sin (pi * t) .^ 2;
end

alpha = 1;
mu = 0;
var = 1;
y = alpha * randp (truth / alpha) + mu + sqrt (var) * randn (size (truth));

exp_table_y = obsexpscale (y, var, mu, alpha);
exp_table_n = termdecay (y, var, mu, alpha, 3);
printf ('%d observations, largest %.1f: exp_table_y holds %d entries, exp_table_n %d\n', ...
        numel (y), max (y), numel (exp_table_y), numel (exp_table_n));

degree = width * ones (groups, 1);
tau = 1;
lambda = 5;
x = max (y, 0);
for k = 1:300
  step = slopemapmt (x, y, exp_table_y, exp_table_n, var, mu, alpha, []);
  x = groupshrinkmt (max (x - tau * step, 0), degree, tau * lambda, [], []);
end

kept = reshape (x, width, groups)' * ones (width, 1) > 0;
mask = kron (kept, ones (width, 1));
refit = max (y, 0) .* mask;
for k = 1:300
  step = slopemapmt (refit, y, exp_table_y, exp_table_n, var, mu, alpha, []);
  refit = max (refit - tau * step, 0) .* mask;
end

marks = '.#';
truly = false (groups, 1);
truly(active) = true;
printf ('\ngroups holding signal (# = nonzero), one character per group of %d samples\n', width);
printf ('  truth     %s\n', marks(truly + 1));
printf ('  restored  %s\n', marks(kept + 1));
printf ('  %d of %d signal groups kept, %d of %d empty groups cleared\n', ...
        sum (kept & truly), sum (truly), sum (! kept & ! truly), sum (! truly));

rmse = @(v) sqrt (mean ((v - truth) .^ 2));
printf ('\nroot mean square error against the truth\n');
printf ('  observation y              %.3f\n', rmse (y));
printf ('  observation clipped at 0   %.3f\n', rmse (max (y, 0)));
printf ('  forward-backward           %.3f\n', rmse (x));
printf ('  refitted on kept groups    %.3f\n', rmse (refit));

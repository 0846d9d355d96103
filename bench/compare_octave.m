% Each module called from Octave against the vectorized Octave code a user would otherwise write
% for the same result, on the same inputs:
%   octave-cli --norc --no-history bench/compare_octave.m MEX_DIR [quick]
% Prints, per module and size, the median wall time of each side over repeated runs (the two
% sides alternate, so both see the same machine), their ratio (Octave time / module time: above
% 1 the module is faster) and whether the two results agree bit for bit. `quick` runs only the
% small sizes once and exits with status 1 when any pair disagrees, which makes it a test.
1;

function out = groupsOctave (y, group, gamma)
  % The per-element group index is the user's to build once per degree vector, so it is made
  % outside the timed code; accumarray adds in index order, as the module's chain does.
  norms = sqrt (accumarray (group, y .* y));
  out = max (1 - gamma ./ norms, 0)(group) .* y;
end

function out = slopeOctave (x, y, v)
  d = x - y;
  out = 1 - exp (-((d + d) + 1) ./ ((x + v) + (x + v)));
end

function t = medianTimes (fa, fb, reps)
  ta = zeros (reps, 1);
  tb = zeros (reps, 1);
  for k = 1:reps
    tic; r = fa (); ta(k) = toc;
    tic; r = fb (); tb(k) = toc;
  end
  t = [median(ta), median(tb)];
end

function same = sameBits (a, b)
  same = isequal (size (a), size (b)) ...
         && isequal (typecast (a(:), 'uint64'), typecast (b(:), 'uint64'));
end

args = argv ();
addpath (args{1});
quick = numel (args) > 1 && strcmp (args{2}, 'quick');
if (quick)
  sizes = [1e2 1e4];
else
  sizes = [1e2 1e4 1e6 1e7];
end
rand ('seed', 1);

printf ('| module | N | group | module ms | Octave ms | Octave / module | bit-exact |\n');
printf ('|---|---|---|---|---|---|---|\n');
failures = 0;
for n = sizes
  if (quick)
    reps = 1;
  elseif (n >= 1e7)
    reps = 5;
  elseif (n >= 1e6)
    reps = 15;
  else
    reps = 101;
  end

  cases = {};
  % groupshrinkmt: groups of 1, 2, 16 and 1024, the last group taking what is left.
  y = 2 * rand (n, 1) - 1;
  gamma = 0.5;
  for g = [1 2 16 1024]
    degree = g * ones (ceil (n / g), 1);
    degree(end) = n - g * (numel (degree) - 1);
    group = repelem ((1:numel (degree))', degree)(:);
    cases(end+1, :) = {'groupshrinkmt', g, @() groupshrinkmt (y, degree, gamma, [], []), ...
                       @() groupsOctave (y, group, gamma)};
  end

  x = 0.5 + 9.5 * rand (n, 1);
  yo = 10 * rand (n, 1);
  v = 2;
  cases(end+1, :) = {'slopemapmt', [], @() slopemapmt (x, yo, [], [], v, 1, 1.5, []), ...
                     @() slopeOctave (x, yo, v)};

  % alpha / var is inexact here, so a kernel that forms alpha * (y - mean) / var instead
  % rounds differently and fails the bit check.
  yr = yo';
  varObs = 3;
  mu = 1;
  alpha = 1.7;
  cases(end+1, :) = {'obsexpscale', [], @() obsexpscale (yr, varObs, mu, alpha), ...
                     @() exp ((yr - mu) * (alpha / varObs))};

  % The table length is n: no observation above 0, and a margin half an element below it.
  % alpha makes the last exponent about -50, so the table decays over its whole length.
  var = 1;
  alphaDecay = sqrt (50 / n);
  margin = (n - 1.5) / ceil (sqrt (var) / alphaDecay);
  c = (alphaDecay * alphaDecay) / var;
  L = n;
  cases(end+1, :) = {'termdecay', [], @() termdecay (0, var, 0, alphaDecay, margin), ...
                     @() [0, exp(-((1:L-1) * c))]};

  for k = 1:rows (cases)
    [name, g, fm, fo] = cases{k, :};
    a = fm ();
    b = fo ();
    same = sameBits (a, b);
    if (same)
      exact = 'yes';
    else
      exact = sprintf ('no, max |difference| %.3g', max (abs (a(:) - b(:))));
      failures += 1;
    end
    t = medianTimes (fm, fo, reps);
    printf ('| %s | %d | %s | %.4g | %.4g | %.2f | %s |\n', name, n, num2str (g), ...
            1e3 * t(1), 1e3 * t(2), t(2) / t(1), exact);
    fflush (stdout);
  end
end

if (quick)
  exit (failures > 0);
end

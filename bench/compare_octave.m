% Each module called from Octave against what it competes with, on the same inputs:
%   octave-cli --norc --no-history bench/compare_octave.m MEX_DIR [quick | BASE_MEX_DIR]
% against "Octave": the vectorized Octave code a user would otherwise write for the same result;
% against "base": the same module built from an earlier commit (BASE_MEX_DIR holds
%   groupshrinkmt_base.mex and slopemapmt_base.mex, see bench/base_modules.sh);
% against "exp": for slopemapmt, Octave's exp alone on the module's exp arguments, formed
%   outside the timed code (the check is then that 1 - exp gives the module's bits);
% against "host": for slopemapmt, host_share.mex (bench/host_share.cpp, built into BASE_MEX_DIR):
%   the output created and handed back and nothing else, the share of the call no kernel can
%   remove; its ratio is that share of the module's time, and there are no bits to check;
% against "series": for pglikmt's gradient, examples/likelihood_series.m with its tables built
%   outside the timed code (a series cut at termdecay's length, so the check is agreement to
%   1e-6 relative to max(1, |grad|), not bits).
% against "avx2", "scalar": for pglikmt and pgproxmt, the same source built capped at that path
%   (MODULE_avx2.mex, MODULE_scalar.mex in BASE_MEX_DIR); against "one worker": the module with
%   PGMEX_NUM_THREADS=1; against "grad": pglikmt's gradient alone on the same elements, for
%   [grad, nll], [grad, nll, dnll] and pgproxmt (no bits to check; the ratio is grad's time over
%   theirs).
% The two sides of a pair alternate, each going first every other run, so both see the same
% machine. Printed per pair and size: the median wall time of each side, the ratio (other time /
% module time: above 1 the module is faster) as median and range over the runs, taken run by
% run, whether the results agree bit for bit, and the minor page faults of each call (field 10
% of /proc/self/stat before and after it, outside the timing). `quick` runs only the small sizes
% once and exits with status 1 when any pair disagrees, which makes it a test.
% Octave's allocator should be told to keep freed memory (MALLOC_MMAP_MAX_=0 and the like in the
% environment, as `make compare` does), or every large array pays first-touch faults afresh.
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

function n = minorFaults ()
  stat = fileread ('/proc/self/stat');
  % The command name may hold spaces; the fields after it are counted from its closing bracket.
  fields = strsplit (stat(find (stat == ')', 1, 'last') + 2:end), ' ');
  n = str2double (fields{8});
end

% Wall time and minor faults of each call of fa and fb, run k calling fa first when k is odd.
function [t, faults] = pairTimes (fa, fb, reps)
  f = {fa, fb};
  t = zeros (reps, 2);
  faults = zeros (reps, 2);
  for k = 1:reps
    for side = 1 + mod (k + [1 0], 2)
      before = minorFaults ();
      tic; r = f{side} (); t(k, side) = toc;
      faults(k, side) = minorFaults () - before;
      clear r;
    end
  end
end

% f() with PGMEX_NUM_THREADS set to one worker, the caller's setting put back.
function out = oneWorker (f)
  saved = getenv ('PGMEX_NUM_THREADS');
  setenv ('PGMEX_NUM_THREADS', '1');
  out = f ();
  setenv ('PGMEX_NUM_THREADS', saved);
end

% Every output of pglikmt up to the nout-th, in one column.
function out = likelihoodOutputs (f, nout, x, y, v, mu, alpha)
  outputs = cell (1, nout);
  [outputs{:}] = f (x, y, v, mu, alpha);
  out = cell2mat (cellfun (@(o) o(:), outputs, 'UniformOutput', false)');
end

function same = sameBits (a, b)
  same = isequal (size (a), size (b)) ...
         && isequal (typecast (a(:), 'uint64'), typecast (b(:), 'uint64'));
end

args = argv ();
addpath (args{1});
addpath (fullfile (fileparts (mfilename ('fullpath')), '..', 'examples'));
quick = numel (args) > 1 && strcmp (args{2}, 'quick');
withBase = numel (args) > 1 && ! quick;
if (withBase)
  addpath (args{2});
end
if (quick)
  sizes = [1e2 1e4];
else
  sizes = [1e2 1e4 1e6 1e7];
end
rand ('seed', 1);
same = @(b) b;

printf ('| module | N | group | against | module ms | other ms | other / module, median (min–max) | bit-exact | minflt module | minflt other |\n');
printf ('|---|---|---|---|---|---|---|---|---|---|\n');
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

  % Each case: module, group, against, module call, other call, what the other result must
  % become to give the module's bits (to within a tolerance, 0 for every bit).
  cases = {};
  % groupshrinkmt: groups of one size, the last group taking what is left.
  y = 2 * rand (n, 1) - 1;
  gamma = 0.5;
  for g = [1 2 4 16 1024]
    degree = g * ones (ceil (n / g), 1);
    degree(end) = n - g * (numel (degree) - 1);
    group = repelem ((1:numel (degree))', degree)(:);
    module = @() groupshrinkmt (y, degree, gamma, [], []);
    if (g != 4)
      cases(end+1, :) = {'groupshrinkmt', g, 'Octave', module, ...
                         @() groupsOctave (y, group, gamma), same, 0};
    end
    if (withBase && g <= 16)
      cases(end+1, :) = {'groupshrinkmt', g, 'base', module, ...
                         @() groupshrinkmt_base (y, degree, gamma, [], []), same, 0};
    end
  end

  x = 0.5 + 9.5 * rand (n, 1);
  yo = 10 * rand (n, 1);
  v = 2;
  d = x - yo;
  expArgs = -((d + d) + 1) ./ ((x + v) + (x + v));
  module = @() slopemapmt (x, yo, [], [], v, 1, 1.5, []);
  cases(end+1, :) = {'slopemapmt', [], 'Octave', module, @() slopeOctave (x, yo, v), same, 0};
  cases(end+1, :) = {'slopemapmt', [], 'exp', module, @() exp (expArgs), @(b) 1 - b, 0};
  if (withBase)
    cases(end+1, :) = {'slopemapmt', [], 'base', module, ...
                       @() slopemapmt_base (x, yo, [], [], v, 1, 1.5, []), same, 0};
    cases(end+1, :) = {'slopemapmt', [], 'host', module, @() host_share (x), same, Inf};
  end

  % alpha / var is inexact here, so a kernel that forms alpha * (y - mean) / var instead
  % rounds differently and fails the bit check.
  yr = yo';
  varObs = 3;
  mu = 1;
  alpha = 1.7;
  cases(end+1, :) = {'obsexpscale', [], 'Octave', @() obsexpscale (yr, varObs, mu, alpha), ...
                     @() exp ((yr - mu) * (alpha / varObs)), same, 0};

  % The table length is n: no observation above 0, and a margin half an element below it.
  % alpha makes the last exponent about -50, so the table decays over its whole length.
  var = 1;
  alphaDecay = sqrt (50 / n);
  margin = (n - 1.5) / ceil (sqrt (var) / alphaDecay);
  c = (alphaDecay * alphaDecay) / var;
  L = n;
  cases(end+1, :) = {'termdecay', [], 'Octave', @() termdecay (0, var, 0, alphaDecay, margin), ...
                     @() [0, exp(-((1:L-1) * c))], same, 0};

  % pglikmt's gradient on data drawn from the model, photon counts 0 to 30.
  alpha = 1.5;
  mu = 2;
  v = 9;
  xp = 30 * rand (1, n);
  counts = max (round (xp + sqrt (xp) .* randn (1, n)), 0);
  yp = alpha * counts + mu + sqrt (v) * randn (1, n);
  series = struct ('ratio', obsexpscale (yp, v, mu, alpha) * exp (alpha^2 / (2 * v)), ...
                   'decay', termdecay (yp, v, mu, alpha, 3));
  cases(end+1, :) = {'pglikmt', [], 'series', @() pglikmt (xp, yp, v, mu, alpha), ...
                     @() 1 - likelihood_series (xp, series) ./ xp, same, 1e-6};
  % Every path of the element kernel, with and without nll and dnll, on one worker and on every
  % processor, and pgproxmt beside the gradient it needs a few kernel calls of.
  if (withBase)
    grad = @() pglikmt (xp, yp, v, mu, alpha);
    for nout = 1:3
      outputs = {'', 'nll', 'nll, dnll'}{nout};
      module = @() likelihoodOutputs (@pglikmt, nout, xp, yp, v, mu, alpha);
      for path = {'avx2', 'scalar'}
        other = str2func (['pglikmt_' path{1}]);
        cases(end+1, :) = {'pglikmt', outputs, path{1}, module, ...
                           @() likelihoodOutputs (other, nout, xp, yp, v, mu, alpha), same, 0};
      end
      cases(end+1, :) = {'pglikmt', outputs, 'one worker', module, @() oneWorker (module), same, 0};
      if (nout > 1)
        cases(end+1, :) = {'pglikmt', outputs, 'grad', module, grad, same, Inf};
      end
    end
    for gammaProx = [0.1 1 10]
      module = @() pgproxmt (xp, yp, gammaProx, v, mu, alpha);
      name = sprintf ('gamma %g', gammaProx);
      cases(end+1, :) = {'pgproxmt', name, 'grad', module, grad, same, Inf};
      cases(end+1, :) = {'pgproxmt', name, 'avx2', module, ...
                         @() pgproxmt_avx2 (xp, yp, gammaProx, v, mu, alpha), same, 0};
      cases(end+1, :) = {'pgproxmt', name, 'scalar', module, ...
                         @() pgproxmt_scalar (xp, yp, gammaProx, v, mu, alpha), same, 0};
      cases(end+1, :) = {'pgproxmt', name, 'one worker', module, @() oneWorker (module), same, 0};
    end
  end

  for k = 1:rows (cases)
    [name, g, against, fm, fo, expected, tolerance] = cases{k, :};
    a = fm ();
    b = expected (fo ());
    if (tolerance == Inf)
      exact = '–';
    elseif (tolerance == 0 && sameBits (a, b))
      exact = 'yes';
    elseif (tolerance > 0 && isequal (size (a), size (b))
            && all (abs (a(:) - b(:)) <= tolerance * max (1, abs (b(:)))))
      exact = sprintf ('within %.0e', tolerance);
    else
      exact = sprintf ('no, max |difference| %.3g', max (abs (a(:) - b(:))));
      failures += 1;
    end
    clear a b;
    [t, faults] = pairTimes (fm, fo, reps);
    ratio = t(:, 2) ./ t(:, 1);
    printf ('| %s | %d | %s | %s | %.4g | %.4g | %.2f (%.2f–%.2f) | %s | %.1f | %.1f |\n', ...
            name, n, num2str (g), against, 1e3 * median (t(:, 1)), 1e3 * median (t(:, 2)), ...
            median (ratio), min (ratio), max (ratio), exact, mean (faults(:, 1)), ...
            mean (faults(:, 2)));
    fflush (stdout);
  end
end

if (quick)
  exit (failures > 0);
end

% One case of the barrage, run in a child octave-cli of its own:
%   octave-cli --norc --no-history --no-window-system barrage_case.m MEX_DIR EXPECTED CALL
% CALL is an expression, evaluated as out = CALL; a CALL that starts with
% '[' is a statement run as written (two outputs), and one that starts with
% ';' runs without its ';' and asks for no output. EXPECTED
% is the identifier the call must raise, or '=' and an expression whose value
% the output must equal bit for bit. Prints PASS, or FAIL and why; only a
% crash of the process ends it otherwise.
1;

% References for EXPECTED, each rounding in the module's order.
function out = slope_ref (x, y, var)
  len = max (size (x));
  x = real (x(1:len)(:));
  y = real (y(1:len)(:));
  d = x - y;
  s = x + var;
  out = 1 - exp (-((d + d) + 1) ./ (s + s));
end

function out = decay_ref (len, var, alpha)
  c = (alpha * alpha) / var;
  out = [0, exp(-((1:len - 1) * c))](1:len);
end

args = argv ();
addpath (args{1});
addpath (fileparts (mfilename ('fullpath')));
expected = args{2};
call = args{3};
if (call(1) == '[')
  statement = call;
elseif (call(1) == ';')
  statement = call(2:end);
else
  statement = ['out = ' call ';'];
end

verdict = '';
try
  eval (statement);
  raised = false;
catch err
  raised = true;
end

if (raised)
  if (isempty (regexp (err.identifier, '^(?:MATLAB|pgmex):\w+:\w+$', 'once')))
    verdict = sprintf ('identifier "%s" (message "%s")', err.identifier, err.message);
  elseif (isempty (err.message))
    verdict = sprintf ('%s with an empty message', err.identifier);
  elseif (! strcmp (err.identifier, expected))
    verdict = sprintf ('raised %s (%s), expected %s', err.identifier, err.message, expected);
  end
elseif (expected(1) != '=')
  verdict = sprintf ('returned, expected %s', expected);
else
  try
    same_bits (out, eval (expected(2:end)));
  catch mismatch
    verdict = mismatch.message;
  end
end

if (isempty (verdict))
  printf ('PASS\n');
else
  printf ('FAIL %s\n', verdict);
end

% Runs the %!test blocks of one suite against the built modules:
%   octave-cli --norc --no-history run_suite.m MEX_DIR SUITE [DIR ...]
% and exits with status 0 only if every block passed. Each DIR goes at the end
% of the path, so a compiled module in MEX_DIR shadows an M-file of its name.
args = argv ();
addpath (args{1});
addpath (fileparts (mfilename ('fullpath')));
for k = 3:numel (args)
  addpath (args{k}, '-end');
end
[passed, total] = test (args{2}, 'normal', stdout);
printf ('%s: %d of %d passed\n', args{2}, passed, total);
exit (! (total > 0 && passed == total));

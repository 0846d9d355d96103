% Runs the %!test blocks of one suite against the built modules:
%   octave-cli --norc --no-history run_suite.m MEX_DIR SUITE
% and exits with status 0 only if every block passed.
args = argv ();
addpath (args{1});
addpath (fileparts (mfilename ('fullpath')));
[passed, total] = test (args{2}, 'normal', stdout);
printf ('%s: %d of %d passed\n', args{2}, passed, total);
exit (! (total > 0 && passed == total));

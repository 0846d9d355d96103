% Group soft-thresholding of a small signal:
%   octave-cli --norc examples/demo.m MEX_DIR
args = argv ();
addpath (args{1});
y = [3 4 0 0 1 -1 -5];
degree = [2 2 2 1];
gamma = 2.5;
out = groupshrinkmt (y, degree, gamma, [], []);
printf ('y      = [%s]\n', num2str (y));
printf ('groups = [%s], gamma = %g\n', num2str (degree), gamma);
printf ('out    = [%s]\n', num2str (out'));

function names = listed(root, kind)
%LISTED  The names that ROOT/toolbox.txt lists as KIND ('module' or
%   'function'), in its order, as a row cell array. Read here apart from
%   build_mex and the builds, so that the tests hold what those made to the
%   list itself.
text = fileread(fullfile(root, 'toolbox.txt'));
lines = regexp(text, '\n', 'split');
names = {};
for k = 1:numel(lines)
    words = regexp(strtrim(lines{k}), '\s+', 'split');
    if numel(words) >= 2 && strcmp(words{1}, kind)
        names{end + 1} = words{2}; %#ok<AGROW>
    end
end
end

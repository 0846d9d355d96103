function same_bits (actual, expected)
  %SAME_BITS  Require ACTUAL and EXPECTED to have the same size and the same
  %   bits element by element; signed zeros must agree, NaNs match any NaN.
  assert (size (actual), size (expected));
  a = actual(:);
  e = expected(:);
  both_nan = isnan (a) & isnan (e);
  differ = typecast (a, 'uint64') != typecast (e, 'uint64') & ! both_nan;
  if (any (differ))
    k = find (differ, 1);
    error ('same_bits: element %d is %.17g, expected %.17g', k, a(k), e(k));
  end
end

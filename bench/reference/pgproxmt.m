function x = pgproxmt(v, y, gamma, noiseVar, mu, alpha)
%PGPROXMT  Development stand-in for the compiled module: PGPROXMT_REFERENCE.
%   Only on the path where the compiled PGPROXMT is not built.
x = pgproxmt_reference(v, y, gamma, noiseVar, mu, alpha);
end

%TVPDSTEP  One relaxed step of PGRESTORE's primal-dual method, outside the FFTs.
%   [X, P, DX, DTP, HTQ, Q, HX, NORMS] = TVPDSTEP(XT, X, P, DX, DTP, HTQT, HTQ, ...
%       QT, Q, HXT, HX, STEPS, SPACING, NEED)
%   PGRESTORE minimises a data term plus LAMBDA times the isotropic total
%   variation by Chambolle and Pock's method with over-relaxation. Given the
%   new primal point XT (and, with a blur, the data dual's new point QT with
%   H*XT and H'*QT), TVPDSTEP takes the rest of the step in one pass over
%   the arrays, where whole-array operations would take some thirty:
%
%     PT = V - shrink(V),  V = P + SIGMA*(2*D*XT - DX)   (the projection of
%                          each element's differences on the ball of radius
%                          LAMBDA; shrink as GROUPSHRINKMT's, same bits)
%     X   <- X   + RHO*(XT - X)        P   <- P   + RHO*(PT - P)
%     DX  <- DX  + RHO*(D*XT - DX)     DTP <- DTP + RHO*(D'*PT - DTP)
%     HTQ <- HTQ + RHO*(HTQT - HTQ)    Q   <- Q   + RHO*(QT - Q)
%     HX  <- HX  + RHO*(HXT - HX)
%
%   with STEPS = [TAU SIGMA LAMBDA RHO]. D takes forward differences along
%   the first NUMEL(SPACING) dimensions of XT (one to three), each divided by
%   its SPACING, and XT - XT across the last slice (0, or NaN where XT is
%   not finite); D' is its adjoint. Dimensions
%   of XT past those are pages, differenced apart (several problems solved
%   side by side). DX and D'*P are carried rather than recomputed, since D
%   is linear.
%
%   XT, X, DTP, and HTQT, HTQ with a blur, have as many elements as XT. P
%   and DX hold each element's NUMEL(SPACING) differences side by side (one
%   column per element). QT, Q, HXT and HX have as many elements as each
%   other (the observed pixels). Without a blur HTQT, HTQ, QT, Q, HXT and HX
%   are all empty, and so are the outputs HTQ, Q and HX. The outputs have
%   the shapes of the inputs they update.
%
%   NORMS = [PRIMAL DUAL TV]. When NEED(1) is nonzero, PRIMAL and DUAL are
%   the sums of the magnitudes of the optimality residuals at (XT, PT, QT):
%
%     PRIMAL = sum |-(XT - X)/TAU + (D'*PT - DTP) + (HTQT - HTQ)|
%     DUAL   = sum |(D*XT - DX) - (PT - P)/SIGMA| + sum |(HXT - HX) - (QT - Q)/SIGMA|
%
%   and when NEED(2) is nonzero TV is the total variation of XT,
%   sum over elements of the Euclidean norm of D*XT; NaN where not asked.
%   Every sum runs in element order, so NORMS has the bits of the same
%   formulas written as whole-array operations and summed by SUM; so do the
%   other outputs. STEPS are finite, TAU, SIGMA and RHO positive and LAMBDA
%   nonnegative; SPACING is positive and finite; NEED has two elements. The
%   arrays are full real doubles; NaN and Inf pass through the arithmetic.
%
%   The step runs on the calling thread: its sums must keep element order.
%   Every output is computed whatever NARGOUT is; those not asked for are
%   kept in one scratch block for the call.
%
%   Errors (identifier: cause), checked in this order:
%     pgmex:tvpdstep:invalidNumInputs     not exactly fourteen inputs
%     pgmex:tvpdstep:invalidNumOutputs    more than eight outputs
%     pgmex:tvpdstep:<name>NotDouble      an array input not a full double
%                                         array (name: xt, x, p, Dx, DtP,
%                                         HtQt, HtQ, qt, q, Hxt, Hx, in turn)
%     pgmex:tvpdstep:<name>Complex        that input complex
%     pgmex:tvpdstep:stepsNotVector       STEPS not four real doubles
%     pgmex:tvpdstep:stepsNotPositive     a step not finite, TAU, SIGMA or
%                                         RHO not positive, LAMBDA negative
%     pgmex:tvpdstep:spacingNotVector     SPACING not one to three real doubles
%     pgmex:tvpdstep:spacingNotPositive   a spacing not positive and finite
%     pgmex:tvpdstep:needNotPair          NEED not two real doubles
%     pgmex:tvpdstep:xtTooLong            XT, along any dimension, or its
%                                         differences longer than 2147483647
%                                         elements
%     pgmex:tvpdstep:<name>Size           an array's element count does not
%                                         match (x, DtP, p, Dx, HtQt, HtQ,
%                                         qt, q, Hxt, Hx, in turn)
%     pgmex:tvpdstep:<name>TooLong        an array longer than 2147483647
%                                         elements, in all or along any
%                                         dimension (x, p, Dx, DtP, HtQt,
%                                         HtQ, qt, q, Hxt, Hx, in turn)
%     pgmex:tvpdstep:outOfMemory          no memory for the outputs not asked
%                                         for (the step computes them all)
%
%   Example: one step of TV denoising's dual on a ramp (no blur)
%     xt = repmat(1:4, 3, 1);  x = xt;  p = zeros(2, 12);
%     Dx = zeros(2, 12);  DtP = zeros(3, 4);
%     [x, p] = tvpdstep(xt, x, p, Dx, DtP, [], [], [], [], [], [], ...
%         [0.5 0.5 0.2 1], [1 1], [0 0]);
%     % p(2, :) is 1 - 0.8 (0.2 less 2^-54) where the ramp rises
%     % (sigma*2 = 1 > lambda: on the ball's edge) and 0 on the last column.
%
%   See also PGRESTORE, GROUPSHRINKMT.

#!/usr/bin/env python3
"""Writes the seed corpus of gateway_fuzzer into fuzz/corpus/: one call per
file, in the input layout that gateway_fuzzer.cpp documents. Each seed is a
well-formed call (or a refusal worth keeping) from which mutation starts."""
import os
import struct

NAN = "nan"  # the special value at index 13
PROCESSORS = {-1: 0, 1: 2, 2: 3, 3: 4, 4: 5, 5: 6, 6: 7, 8: 8, 16: 9}


def value(x):
    if x == NAN:
        return bytes([13])
    if x == "-0":
        return bytes([1])
    if x == "inf":
        return bytes([15])
    if x == "-inf":
        return b"\xff" + struct.pack("<d", float("-inf"))
    if x * 8 == int(x * 8) and -8 <= x <= 15.875:
        return bytes([int(128 + 8 * x)])
    return b"\xff" + struct.pack("<d", x)


def dimension(n):
    if n == 1:
        return 1
    if n < 32:
        return 96 + n
    if n % 32 == 0 and n <= 1024:
        return 192 + n // 32 - 1
    if n == 0x80000000:
        return 224 + 1
    if n == 0xFFFFFFFE:
        return 224 + 3
    raise ValueError(n)


def array(values, m=None, n=None, imag=None):
    if m is None:
        m, n = 1, len(values)
    kind = 0x18 if imag else 0
    data = bytes([kind, dimension(m), dimension(n)])
    data += b"".join(value(v) for v in values)
    if imag:
        data += b"".join(value(v) for v in imag)
    return data


def shape(m, n):
    """A double array whose data, if any, is all zero bytes read past the end."""
    return bytes([0, dimension(m), dimension(n)])


def scalar(x):
    return array([x])


EMPTY = array([], 0, 0)
MODULES = {"groupshrinkmt": 0, "obsexpscale": 1, "termdecay": 2, "slopemapmt": 3, "pglikmt": 4,
           "pgproxmt": 5, "shiftproxmt": 6, "datapdstep": 7, "tvpdstep": 8}


def call(module, processors, inputs, nlhs=1, count=0):
    # nlhs byte 0 gives 1 and 6 gives 2, from 180 on 180 + nlhs; count byte 0 gives the
    # module's own input count, 1 datapdstep's exact form.
    nlhs_byte = {1: 0, 2: 6}.get(nlhs, 180 + nlhs)
    return bytes([MODULES[module], PROCESSORS[processors], nlhs_byte, count]) + b"".join(inputs)


def complex_scalar(x):
    return array([x], imag=[1])


def zeros(m, n):
    return array([0] * (m * n), m, n)


def tvpdstep(xt, m, n, nd, steps, spacing, need, data=None, nlhs=8, processors=1, x=None):
    """A well-formed tvpdstep call on an m-by-n xt with nd differenced dimensions; data, when
    given, is (HtQt, HtQ) over xt's elements and (qt, q, Hxt, Hx) of one length."""
    x = x if x is not None else [v / 2 if not isinstance(v, str) else v for v in xt]
    p = [0.25 * ((k % 7) - 3) for k in range(nd * m * n)]
    dx = [0.125 * ((k % 5) - 2) for k in range(nd * m * n)]
    dtp = [0.5 * ((k % 3) - 1) for k in range(m * n)]
    if data is None:
        blur = [EMPTY] * 6
    else:
        htqt, htq, qt, q, hxt, hx = data
        blur = [array(htqt, m, n), array(htq, m, n), array(qt), array(q), array(hxt), array(hx)]
    return call("tvpdstep", processors,
                [array(xt, m, n), array(x, m, n), array(p, nd, m * n), array(dx, nd, m * n),
                 array(dtp, m, n)] + blur + [array(steps), array(spacing), array(need)], nlhs)


SEEDS = {
    "groupshrinkmt-worked": call(
        "groupshrinkmt", 8,
        [array([3, 4, 0, 0, 1, -1, -5]), array([2, 2, 2, 1]), scalar(2.5), EMPTY, EMPTY]),
    # -0.5 ahead of the second worker's first group: offsets add whole parts.
    "groupshrinkmt-fractional": call(
        "groupshrinkmt", 4,
        [array([1, -2, 3, 0.5], 4, 1), array([1.9, -0.5, 2.9, 1.5]), scalar(0.25), EMPTY, EMPTY]),
    "groupshrinkmt-complex-y": call(
        "groupshrinkmt", 3,
        [array([3, 4, 1], 1, 3, imag=[1, 1, 1]), array([2, 1]), scalar(1), EMPTY, EMPTY]),
    # Runs of every size the vector workers batch, with ends shorter than a
    # batch and the edge values in several lanes.
    "groupshrinkmt-runs": call(
        "groupshrinkmt", 1,
        [array([1, -2, 3, "-0", 0.5, NAN, -1.5, 2, 0, 4, 3, -4, 0.25, "inf", 1, -1] * 4),
         array([1] * 9 + [2] * 8 + [3] * 5 + [4] * 4 + [8]), scalar(1.5), EMPTY, EMPTY]),
    "groupshrinkmt-ones": call(
        "groupshrinkmt", 4,
        [array([3, -0.5, "-0", 2, NAN, 1, -4, 0.75] * 8), array([1] * 64), scalar(1), EMPTY,
         EMPTY]),
    "obsexpscale-worked": call("obsexpscale", 1, [array([1, 2, 3]), scalar(2), scalar(1), scalar(1)]),
    "obsexpscale-column": call(
        "obsexpscale", -1, [array([1, NAN, -3, 0.125], 4, 1), scalar(0.5), scalar(-1), scalar(3)]),
    "termdecay-worked": call(
        "termdecay", 1, [array([0.5, 2, NAN, -1]), scalar(1), scalar(0), scalar(1), scalar(2.5)]),
    "termdecay-second": call(
        "termdecay", 1, [array([3]), scalar(4), scalar(1), scalar(0.5), scalar(3)]),
    "termdecay-margin-vector": call(
        "termdecay", 1, [array([-1, -3], 2, 1), scalar(2), scalar(0), scalar(1), array([3, 100])]),
    "slopemapmt-edges": call(
        "slopemapmt", 16,
        [array([1, 1, 0, -1, -1]), array([0, 1, 0, 0, -0.5], 5, 1), EMPTY, EMPTY,
         scalar(1), scalar(0), scalar(1), EMPTY]),
    "slopemapmt-lanes": call(
        "slopemapmt", 1,
        [array([1, 1, 0, -1, -1, NAN, "inf", 2, 0.5, 3, -0.25, 1.5] * 2 + [1, 2, 3, 4, 5, 6, 7, 0.5]),
         array([0, 1, 0, 0, -0.5, 0, 1, "inf", 0.5, -2, 1, 0] * 2 + [0, 1, 2, 3, 4, 5, 6, 0]),
         EMPTY, EMPTY, scalar(1), scalar(0), scalar(1), EMPTY]),
    "slopemapmt-matrix": call(
        "slopemapmt", 6,
        [array(list(range(12)), 3, 4), array([0.5] * 12, 3, 4), scalar(3), EMPTY,
         scalar(0.5), scalar(7), scalar(-2), array([1, 2])]),
    "slopemapmt-short-y": call(
        "slopemapmt", 4,
        [array([1, 2, 3, 4]), array([1, 2]), EMPTY, EMPTY, scalar(1), scalar(0), scalar(1), EMPTY]),
    "pglikmt-worked": call(
        "pglikmt", 4,
        [array([0, 0.5, 3, 12, 30, -1, NAN], 7, 1), array([1, 2, 7, 20, 47, 1, 1]), scalar(9),
         scalar(2), scalar(1.5)]),
    "pglikmt-nll": call(
        "pglikmt", 3,
        [array([0, 1e-3, 2, 30, 1000], 1, 5), array([2, -4, 5, 50, 1502]), scalar(9), scalar(2),
         scalar(1.5)], nlhs=2),
    "pglikmt-matrix": call(
        "pglikmt", 16,
        [array([0.25 * k for k in range(12)], 3, 4), array([0.5] * 12, 2, 6), scalar(0.5),
         scalar(-1), scalar(2)]),
    "pgproxmt-worked": call(
        "pgproxmt", 4,
        [array([-1, 0.5, 3, 12, 30, NAN, "inf"], 7, 1), array([0, 2, 7, 20, 47, 1, 1]),
         scalar(0.75), scalar(9), scalar(2), scalar(1.5)]),
    "pgproxmt-steps": call(
        "pgproxmt", 2,
        [array([0.25 * k - 1 for k in range(12)], 3, 4), array([0.5 * k for k in range(12)], 2, 6),
         array([0.5, 1, 2, "inf", 0, -1, NAN, 8, 0.125, 3, 1, 1], 12, 1), scalar(1),
         scalar(-1), scalar(2)]),
    # A find: v = -Inf under a bright y once gave 1.08e-19, not 0.
    "pgproxmt-minus-inf": call(
        "pgproxmt", 1, [array(["-inf"]), array([1e154]), scalar(2.9), scalar(1), scalar(0),
                        scalar(1)]),
    # The help's example: t = [(-1 + sqrt(33))/2, 0].
    "shiftproxmt-worked": call(
        "shiftproxmt", 4, [array([1, 2]), array([4, 0]), scalar(2), scalar(0)]),
    # Each element handled apart, with a step per element (Inf, 0, negative, NaN among them).
    "shiftproxmt-edges": call(
        "shiftproxmt", 2,
        [array([1, NAN, "inf", "-inf", -3, 0.5, 2, 4, 1e10, -1e10, 0, 3], 3, 4),
         array([4, 1, 1, 1, NAN, "inf", 0, 2.5, 1, 7, 1e-300, 9], 4, 3),
         array([2, 1, 1, 1, 1, 1, "inf", 0, -1, NAN, 1e-300, 1e300], 12, 1), scalar(0.5)]),
    # Lane tails on either side of a vector width, s above most of u.
    "shiftproxmt-lanes": call(
        "shiftproxmt", 1,
        [array([0.25 * k - 4 for k in range(31)]), array([0.5 * (k % 9) for k in range(31)]),
         scalar(0.75), scalar(2.5)]),
    "shiftproxmt-gamma-size": call(
        "shiftproxmt", 1, [array([1, 2, 3]), array([1, 2, 3]), array([1, 2]), scalar(0)]),
    "shiftproxmt-negative-s": call(
        "shiftproxmt", 1, [array([1, 2]), array([1, 2]), scalar(1), scalar(-0.5)]),
    "shiftproxmt-complex-v": call(
        "shiftproxmt", 1, [array([1, 2], imag=[0, 1]), array([1, 2]), scalar(1), scalar(0)]),
    # The help's example: qt = [-1 1].
    "datapdstep-shifted-worked": call(
        "datapdstep", 4,
        [array([1, 2]), array([0, 0]), array([0, 0]), scalar(1), array([4, 0]), scalar(0)]),
    "datapdstep-shifted-edges": call(
        "datapdstep", 3,
        [array([1, NAN, "inf", "-inf", -3, 0.5, 2, 4, 1e10, 0, 3, 7], 3, 4),
         array([0.5, 1, 1, 1, 2, "inf", 0, 2.5, 1, -7, 1e-300, 9]),
         array([0, 1, -2, 1, NAN, 1, 0, 0.5, 1, 7, 1e300, -9], 12, 1), scalar(0.5),
         array([4, 1, 1, 1, 3, 2, 0, 2.5, 1, 7, 1e-300, "inf"]), scalar(1.5)]),
    # 1 / sigma overflows: the step is Inf, element by element.
    "datapdstep-shifted-tiny-sigma": call(
        "datapdstep", 1,
        [array([1, -2, 3]), array([0.5, 0, 2]), array([0, 1, 0]), scalar(1e-310),
         array([4, 0, 2]), scalar(0.25)]),
    "datapdstep-exact-worked": call(
        "datapdstep", 4,
        [array([-1, 0.5, 3, 12, 30, NAN, "inf"], 7, 1), array([0, 1, 2, 3, 4, 5, 6]),
         array([1, 1, 1, 1, 1, 1, 1]), scalar(0.75), array([0, 2, 7, 20, 47, 1, 1]),
         scalar(9), scalar(2), scalar(1.5)], count=1),
    "datapdstep-exact-tiny-sigma": call(
        "datapdstep", 2,
        [array([1, -2, 3]), array([0.5, 0, 2]), array([0, 1, 0]), scalar(1e-310),
         array([4, 0, 2]), scalar(1), scalar(0), scalar(1)], count=1),
    "datapdstep-sigma-zero": call(
        "datapdstep", 1,
        [array([1]), array([1]), array([1]), scalar(0), array([1]), scalar(0)]),
    "datapdstep-length-mismatch": call(
        "datapdstep", 1,
        [array([1, 2]), array([1, 2]), array([1]), scalar(1), array([1, 2]), scalar(0)]),
    "datapdstep-complex-y": call(
        "datapdstep", 1,
        [array([1]), array([1]), array([1]), scalar(1), complex_scalar(2), scalar(1), scalar(0),
         scalar(1)], count=1),
    # The help's example: one step of TV denoising's dual on a ramp, x and p asked for.
    "tvpdstep-ramp": call(
        "tvpdstep", 1,
        [array([1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4], 3, 4),
         array([1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4], 3, 4), zeros(2, 12), zeros(2, 12),
         zeros(3, 4)] + [EMPTY] * 6 + [array([0.5, 0.5, 0.2, 1]), array([1, 1]), array([0, 0])],
        nlhs=2),
    "tvpdstep-blurred": tvpdstep(
        [0.5 * k - 2 for k in range(20)], 4, 5, 2, [0.5, 0.25, 0.3, 1.9], [1, 0.5], [1, 1],
        data=([0.25 * k for k in range(20)], [0.125 * k for k in range(20)], [1, 2, 3, NAN, 5],
              [0, 1, 0, 1, 0], [2, 2, "inf", 2, 2], [1, 1, 1, 1, -1])),
    # nd = 1 over a 3-by-4 xt: four pages of three, spacing 2, residuals only.
    "tvpdstep-pages": tvpdstep(
        [1, 3, 2, 5, "inf", 4, 0, 0, 1, -2, 7, 1], 3, 4, 1, [1, 1, 0, 1], [2], [1, 0]),
    # nd = 3 over a 2-D xt: the third dimension has one slice, whose differences are x - x.
    "tvpdstep-three": tvpdstep(
        [k * k / 8 for k in range(30)], 5, 6, 3, [0.25, 2, 1.5, 0.5], [1, 0.5, 4], [0, 1],
        nlhs=3),
    "tvpdstep-need-single": call(
        "tvpdstep", 1,
        [array([1]), array([1]), array([0]), array([0]), array([0])] + [EMPTY] * 6 +
        [array([1, 1, 1, 1]), array([1]), bytes([4, 1, 98, 128, 128])]),
    "tvpdstep-dtp-size": call(
        "tvpdstep", 1,
        [array([1, 2, 3, 4], 2, 2), array([1, 2, 3, 4], 2, 2), zeros(2, 4), zeros(2, 4),
         zeros(3, 1)] + [EMPTY] * 6 + [array([1, 1, 1, 1]), array([1, 1]), array([1, 1])]),
    "tvpdstep-qt-without-blur": call(
        "tvpdstep", 1,
        [array([1, 2]), array([1, 2]), zeros(1, 2), zeros(1, 2), zeros(1, 2), EMPTY, EMPTY,
         array([1]), array([1]), array([1]), array([1]), array([1, 1, 1, 1]), array([1]),
         array([1, 1])]),
    # Empty arrays with a dimension past an int: refused, not given back in capped shapes.
    "tvpdstep-empty-xt-wide": call(
        "tvpdstep", 1,
        [shape(0, 0x80000000), shape(0, 0x80000000)] + [EMPTY] * 9 +
        [array([1, 1, 1, 1]), array([1]), array([0, 0])]),
    "tvpdstep-empty-x-wide": call(
        "tvpdstep", 1,
        [EMPTY, shape(0, 0x80000000)] + [EMPTY] * 9 +
        [array([1, 1, 1, 1]), array([1]), array([0, 0])]),
    "slopemapmt-huge-x": call(
        "slopemapmt", 4,
        [shape(1, 0xFFFFFFFE), array([1, 2]), EMPTY, EMPTY, scalar(1), scalar(0), scalar(1), EMPTY]),
}

if __name__ == "__main__":
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)

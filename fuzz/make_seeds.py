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
           "pgproxmt": 5}


def call(module, processors, inputs, nlhs=1):
    # nlhs byte 0 gives 1 and 6 gives 2; count byte 0 gives the module's own input count.
    return bytes([MODULES[module], PROCESSORS[processors], {1: 0, 2: 6}[nlhs], 0]) + b"".join(inputs)


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

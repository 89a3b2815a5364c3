"""Crossing the boundary: list -> ZeltoMatrix, to_list(), and the fixed cost of a method call,
each measured side by side with numpy in one process.

    PYTHONPATH=build/<dir> .venv/bin/python bench/bench_convert.py [--n 1000000] [--repeat 7]
"""
import argparse
import timeit

import numpy as np

from bench_common import numpy_kernel, reexec_unthrottled

from zelto_ml import ZeltoMatrix


def best(stmt, number, repeat):
    """Best time per call in seconds."""
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    n, repeat = args.n, args.repeat

    values = [i * 0.001 for i in range(n)]
    as_tuple = tuple(values)
    matrix = ZeltoMatrix(values, 1, n)
    array = np.array(values, dtype=np.float32)

    rows = []
    ours = best(lambda: ZeltoMatrix(values, 1, n), 3, repeat)
    theirs = best(lambda: np.array(values, dtype=np.float32), 3, repeat)
    rows.append((f"build from list[{n}]", ours, theirs, "np.array(list, float32)"))
    ours = best(lambda: ZeltoMatrix(as_tuple, 1, n), 3, repeat)
    theirs = best(lambda: np.array(as_tuple, dtype=np.float32), 3, repeat)
    rows.append((f"build from tuple[{n}]", ours, theirs, "np.array(tuple, float32)"))
    ours = best(matrix.to_list, 3, repeat)
    theirs = best(array.tolist, 3, repeat)
    rows.append((f"to_list() [{n}]", ours, theirs, "ndarray.tolist()"))

    # Fixed cost of a call with one float: the cheapest matrix (0 elements) minus the bare
    # operation is not observable from Python, so the reference is numpy's own scalar call on
    # a 0-element array (ufunc dispatch), next to a plain bound builtin with one argument.
    empty = ZeltoMatrix([], 0, 0)
    empty_array = np.zeros(0, dtype=np.float32)
    calls = 200_000
    add = empty.add
    ours = best(lambda: add(1.0), calls, repeat)
    np_add = empty_array.__add__
    theirs = best(lambda: np_add(1.0), calls, repeat)
    rows.append(("add(1.0) on 0x0, per call", ours, theirs, "ndarray.__add__(1.0), 0 elements"))
    shape = empty.shape
    ours = best(shape, calls, repeat)
    theirs = best(lambda: empty_array.shape, calls, repeat)
    rows.append(("shape(), per call", ours, theirs, "ndarray.shape"))
    base = best(lambda: None, calls, repeat)
    bare = [].count
    builtin = best(lambda: bare(1.0), calls, repeat)

    print(f"numpy: {numpy_kernel()}")
    print(f"{'operation':32} {'zelto_ml':>12} {'numpy':>12} {'numpy/ours':>11}  reference")
    for name, ours, theirs, ref in rows:
        print(f"{name:32} {ours * 1e6:10.2f}us {theirs * 1e6:10.2f}us {theirs / ours:10.2f}x  {ref}")
    add_cost = best(lambda: add(1.0), calls, repeat)
    print(f"\nlambda loop overhead {base * 1e9:.0f} ns; list.count(1.0) on [] {builtin * 1e9:.0f} ns; "
          f"add(1.0) on 0x0 {add_cost * 1e9:.0f} ns -> "
          f"{(add_cost - builtin) * 1e9:.0f} ns above a bare builtin call")


if __name__ == "__main__":
    main()

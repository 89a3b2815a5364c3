"""predict_matrix against numpy's X @ w + b, as the spread of many paired rounds.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_predict_matrix.py
[--rounds N] [--shapes NxM ...]

A single best-of figure moves by tens of percent on a shared 2-core machine, so each round
times both sides back to back (bench/run.py's pairing: each side's median over 0.15 s, numpy at
the better of its default BLAS threads and one) and the report is the median of the per-round
ratios zelto_ml / numpy (below 1: zelto_ml is faster) with its quartiles.
"""
import argparse
import statistics

import numpy as np

import bench_solver
from bench_common import numpy_kernel, reexec_unthrottled
from run import paired


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--shapes", nargs="+", metavar="NxM", default=["100000x32", "1000000x32"])
    args = parser.parse_args()
    import zelto_ml

    rng = np.random.default_rng(2024)
    print(f"numpy: {numpy_kernel()}; zelto_ml / numpy per round, median (quartiles)")
    for shape in args.shapes:
        n, m = (int(d) for d in shape.split("x"))
        x = rng.standard_normal((n, m)).astype(np.float32)
        y = (x @ rng.standard_normal(m).astype(np.float32)).astype(np.float32)
        xm = zelto_ml.ZeltoMatrix(x, n, m)
        solver = zelto_ml.ZeltoSolver(0.01, 1)
        solver.fit(xm, y)
        w, b = bench_solver.numpy_fit(x, y, np.float32(0.01), 1)
        ours, theirs = [], []
        for _ in range(args.rounds):
            o, t = paired(lambda: solver.predict_matrix(xm), lambda: x @ w + b, 1, 0.15, True)
            ours.append(o)
            theirs.append(t)
        ratios = [o / t for o, t in zip(ours, theirs)]
        q1, _, q3 = statistics.quantiles(ratios, n=4)
        print(f"{shape:>12}: {statistics.median(ratios):.2f} ({q1:.2f}-{q3:.2f}); medians "
              f"{statistics.median(ours):.3f} ms against {statistics.median(theirs):.3f} ms")


if __name__ == "__main__":
    main()

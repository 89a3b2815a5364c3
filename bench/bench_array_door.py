"""The solver's array door against wrapping by hand, as the spread of paired rounds.

    PYTHONPATH=build/<dir> .venv/bin/python bench/bench_array_door.py [--rounds N]
                                                                      [--shapes NxM ...]

For each input (float64 and float32 arrays in C order, a float32 array in Fortran order, a
pandas DataFrame of float64 when pandas is installed) each round times, back to back, the call
with the array itself (predict_matrix(x), fit(x, y)) and the same call on a matrix wrapped by
hand (predict_matrix(ZeltoMatrix(x, *x.shape)), whose construction is part of the time). The
report is the median of the per-round ratios door / by hand (1.00: the same speed) with its
quartiles, and numpy's own float32 conversion (x.astype(np.float32)) as the memory-bound floor.
"""
import argparse
import statistics

import numpy as np

from bench_common import median_ms, reexec_unthrottled


def inputs(n, m, rng):
    """(name, array-like) pairs of one shape."""
    x = rng.standard_normal((n, m))
    cases = [("float64 C", x), ("float32 C", x.astype(np.float32)),
             ("float32 F", np.asfortranarray(x.astype(np.float32)))]
    try:
        import pandas as pd
    except ImportError:
        return cases
    return cases + [("DataFrame f64", pd.DataFrame(x))]


def paired_ratio(door, by_hand, rounds):
    """Median and quartiles of door / by hand over rounds, and both sides' median times."""
    ours, theirs = [], []
    for _ in range(rounds):
        ours.append(median_ms(door, 0.15))
        theirs.append(median_ms(by_hand, 0.15))
    ratios = [o / t for o, t in zip(ours, theirs)]
    q1, _, q3 = statistics.quantiles(ratios, n=4)
    return statistics.median(ratios), q1, q3, statistics.median(ours), statistics.median(theirs)


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--shapes", nargs="+", metavar="NxM", default=["100000x32", "10000x8"])
    args = parser.parse_args()
    from zelto_ml import ZeltoMatrix, ZeltoSolver

    rng = np.random.default_rng(11)
    print("door / by hand per round, median (quartiles); medians door, by hand; "
          "x.astype(np.float32)")
    for shape in args.shapes:
        n, m = (int(d) for d in shape.split("x"))
        y = rng.standard_normal(n)
        for name, x in inputs(n, m, rng):
            solver = ZeltoSolver(0.01, 3)
            solver.fit(ZeltoMatrix(x, n, m), y)
            floor = median_ms(lambda: np.asarray(x).astype(np.float32), 0.15)
            for op, door, by_hand in (
                    ("predict_matrix", lambda: solver.predict_matrix(x),
                     lambda: solver.predict_matrix(ZeltoMatrix(x, n, m))),
                    ("fit, 3 steps", lambda: solver.fit(x, y),
                     lambda: solver.fit(ZeltoMatrix(x, n, m), y))):
                r, q1, q3, ours, theirs = paired_ratio(door, by_hand, args.rounds)
                print(f"{shape:>10} {name:<14} {op:<15} {r:.2f} ({q1:.2f}-{q3:.2f}); "
                      f"{ours:.3f} ms, {theirs:.3f} ms; {floor:.3f} ms")


if __name__ == "__main__":
    main()

"""How close the module's float32 sums come to the exactly rounded sums, per grouping.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_accuracy.py [--quick]

For run_heavy_logic (one repetition of the chain, so every term lies in [0.6, 1.56]) and for the
gradient sums of one fit step over 2^20 rows (= 1,048,576) x 32 columns, each sum is compared
with the float32 nearest to its exact value (math.fsum of the float32 terms, rounded once), in
units in the last place of that float32. The groupings: canonical (the halving tree down to
single values), and the pool's for 1 and 2 workers (8 and 16 leaves, each summed in order).

The gradient comes from one step from zero weights with lr = 1 and n a power of two: every weight
is then exactly -g_j / n, so the sums are read back without rounding. The exact gradient adds
the products e_i * x_ij rounded to float32, the terms every grouping adds.
"""
import argparse
import json
import math
import os
import subprocess
import sys

import numpy as np

HEAVY_CHILD = """
import json, sys
import numpy as np
from zelto_ml import run_heavy_logic
n, canonical = json.loads(sys.argv[1])
data = np.random.default_rng(1).uniform(-3, 3, n).astype(np.float32)
print(json.dumps(run_heavy_logic(data, 1, canonical=canonical)))
"""

GRADIENT_CHILD = """
import json, sys
import numpy as np
from zelto_ml import ZeltoMatrix, ZeltoSolver
rows, cols, canonical = json.loads(sys.argv[1])
rng = np.random.default_rng(2)
x = rng.standard_normal((rows, cols), dtype=np.float32)
y = (x @ rng.standard_normal(cols).astype(np.float32) + 0.5).astype(np.float32)
s = ZeltoSolver(1.0, 1, canonical=canonical)
s.fit(ZeltoMatrix(x, rows, cols), y)
print(json.dumps((-np.asarray(s.weights).ravel() * np.float32(rows)).tolist()
                 + [-s.bias * rows]))
"""

GROUPINGS = [("canonical", 2, True), ("pool, 1 worker", 1, False), ("pool, 2 workers", 2, False)]


def ulps(got, exact):
    """Distance of float32 got from the float32 nearest exact, in units in its last place."""
    exact32 = np.float32(exact)
    return abs(float(np.float32(got)) - float(exact32)) / float(np.spacing(np.abs(exact32)))


def in_child(code, threads, *args):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, "-c", code, json.dumps(args)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def heavy_rows(n):
    """The exact sum of the n terms (each from the module, one element per call) and each
    grouping's error."""
    from zelto_ml import run_heavy_logic
    data = np.random.default_rng(1).uniform(-3, 3, n).astype(np.float32)
    exact = math.fsum(run_heavy_logic(data[i:i + 1], 1) for i in range(n))
    for name, threads, canonical in GROUPINGS:
        got = in_child(HEAVY_CHILD, threads, n, canonical)
        yield f"| run_heavy_logic, {n:,} terms | {name} | {ulps(got, exact):.0f} | |"


def gradient_rows(rows, cols):
    """The exact gradient sums of one step from zero parameters (errors e_i = -y_i) and each
    grouping's errors over the cols sums and the bias sum."""
    rng = np.random.default_rng(2)
    x = rng.standard_normal((rows, cols), dtype=np.float32)
    y = (x @ rng.standard_normal(cols).astype(np.float32) + 0.5).astype(np.float32)
    e = -y
    exact = [math.fsum((e * x[:, j]).tolist()) for j in range(cols)] + [math.fsum(e.tolist())]
    for name, threads, canonical in GROUPINGS:
        got = in_child(GRADIENT_CHILD, threads, rows, cols, canonical)
        errors = [ulps(g, want) for g, want in zip(got, exact)]
        yield (f"| fit gradient, {rows:,} rows x {cols} and the bias | {name} | "
               f"{max(errors):.0f} | {sum(errors) / len(errors):.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10^5 terms, 2^16 rows x 8")
    args = parser.parse_args()
    print("| sum | grouping | error in ulps (max) | mean |")
    print("|---|---|---:|---:|")
    for n in [10**5] if args.quick else [10**6, 10**7]:
        for row in heavy_rows(n):
            print(row, flush=True)
    for row in gradient_rows(*((2**16, 8) if args.quick else (2**20, 32))):
        print(row, flush=True)


if __name__ == "__main__":
    main()

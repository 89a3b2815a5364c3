"""What the worker pool costs a Python caller, against numpy side by side in one run.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_pool.py [--threads 2]

Times ZeltoMatrix.add on sizes from 100 elements (small enough that the module runs the
whole division on the calling thread) up to sizes that go through the pool, next to
numpy's add of the same float32 array, in a child interpreter whose pool has --threads
workers. The ratio column is zelto / numpy. The pure pool costs without conversion
(hand-off round trips, overhead on 10^6 units) are measured by pool_bench
(cmake -DZELTO_BUILD_BENCH=ON).
"""
import argparse
import os
import sys
import textwrap

from bench_common import numpy_kernel, reexec_unthrottled, run_json

CHILD = textwrap.dedent("""
    import json, time
    import numpy as np
    import zelto_ml

    def best_us(fn, budget_s=0.3):
        fn()
        best = float("inf")
        deadline = time.perf_counter() + budget_s
        while time.perf_counter() < deadline:
            start = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - start)
        return best * 1e6

    rows = []
    for size in (100, 10**4, 10**5, 3 * 10**5, 10**6):
        values = [float(i % 251) for i in range(size)]
        matrix = zelto_ml.ZeltoMatrix(values, size, 1)
        array = np.asarray(values, dtype=np.float32)
        # add returns a new matrix; converting it back is not part of the operation.
        rows.append((size, best_us(lambda: matrix.add(1.5)), best_us(lambda: array + np.float32(1.5))))
    print(json.dumps(rows))
""")


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args()
    rows = run_json([sys.executable, "-c", CHILD], args.threads)
    print(f"numpy: {numpy_kernel()}")
    print(f"ZeltoMatrix.add vs numpy add, pool of {args.threads} (best of repeats, us)")
    print(f"{'elements':>10} {'zelto':>10} {'numpy':>10} {'ratio':>7}")
    for size, zelto, numpy_us in rows:
        print(f"{size:>10} {zelto:>10.2f} {numpy_us:>10.2f} {zelto / numpy_us:>7.2f}")


if __name__ == "__main__":
    main()

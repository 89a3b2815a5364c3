"""What the worker pool costs a Python caller: small and large adds against numpy, every kind of
operation with oversubscribed pools, and how long a pool of many workers takes to start.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_pool.py [--threads 2]
    [--oversubscribed 2,64,1000] [--start 1000,10000,20000,65535]

1. ZeltoMatrix.add on sizes from 100 elements (small enough that the module runs the whole
   division on the calling thread) up to sizes that go through the pool, next to numpy's add of
   the same float32 array, in a child interpreter whose pool has --threads workers. The ratio
   column is zelto / numpy.
2. For each pool size of --oversubscribed: a 10^6-element add, a 256 x 256 matmul, a fit
   (4,096 x 16, 20 steps) and run_heavy_logic (20,000 numbers, 5 iterations), best of repeats,
   with the ratio to the first (smallest) pool's time. More workers than processors must not
   cost much: idle workers sleep, and work goes to the awake ones.
3. For each size of --start: the wall time of a fresh interpreter's first parallel operation
   (which starts the pool) minus that of a 1-worker pool, with a time-out. A size the system
   cannot give threads for ends with the pool-creation error, which is reported as such.

The pure pool costs without conversion (hand-off round trips, overhead on 10^6 units) are
measured by pool_bench (cmake -DZELTO_BUILD_BENCH=ON).
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

from bench_common import numpy_kernel, reexec_unthrottled, run_json, unthrottled_env

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

OPERATIONS = textwrap.dedent("""
    import json, time
    import zelto_ml
    from zelto_ml import ZeltoMatrix, ZeltoSolver

    def best_ms(fn, budget_s=0.6, min_repeats=5):
        fn()
        times = []
        deadline = time.perf_counter() + budget_s
        while len(times) < min_repeats or time.perf_counter() < deadline:
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
        return min(times) * 1e3

    big = ZeltoMatrix([float(i % 251) for i in range(10**6)], 10**6, 1)
    square = ZeltoMatrix([float(i % 13) * 0.25 for i in range(256 * 256)], 256, 256)
    x = ZeltoMatrix([float(i % 17) * 0.1 for i in range(4096 * 16)], 4096, 16)
    y = [float(i % 5) for i in range(4096)]
    solver = ZeltoSolver(0.01, 20)
    numbers = [float(i % 100) * 0.01 for i in range(20000)]
    print(json.dumps({
        "add 10^6": best_ms(lambda: big.add(1.5)),
        "matmul 256": best_ms(lambda: square.matmul(square)),
        "fit 4096x16, 20 steps": best_ms(lambda: solver.fit(x, y)),
        "run_heavy_logic 20000 x 5": best_ms(lambda: zelto_ml.run_heavy_logic(numbers, 5)),
    }))
""")

START = textwrap.dedent("""
    import json, time
    import zelto_ml
    m = zelto_ml.ZeltoMatrix([1.0, 2.0], 2, 1)
    start = time.perf_counter()
    try:
        m.add(1.0)
        outcome = "started"
    except BaseException as error:
        outcome = str(error)[:160]
    print(json.dumps([time.perf_counter() - start, outcome]))
""")


def first_operation(threads, timeout_s):
    """Seconds a fresh interpreter's first operation takes with a pool of `threads`, and its
    outcome; None when it did not finish within timeout_s."""
    env = dict(unthrottled_env(), RAYON_NUM_THREADS=str(threads))
    try:
        out = subprocess.run([sys.executable, "-c", START], env=env, check=True, timeout=timeout_s,
                             capture_output=True, text=True).stdout
    except subprocess.TimeoutExpired:
        return None, f"not finished after {timeout_s} s"
    return json.loads(out.strip().splitlines()[-1])


def sizes(text):
    return [int(part) for part in text.split(",") if part]


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--oversubscribed", type=sizes, default=[2, 64, 1000])
    parser.add_argument("--start", type=sizes, default=[1000, 10000, 20000, 65535])
    parser.add_argument("--timeout", type=float, default=100.0)
    args = parser.parse_args()

    if args.threads:
        rows = run_json([sys.executable, "-c", CHILD], args.threads)
        print(f"numpy: {numpy_kernel()}")
        print(f"ZeltoMatrix.add vs numpy add, pool of {args.threads} (best of repeats, us)")
        print(f"{'elements':>10} {'zelto':>10} {'numpy':>10} {'ratio':>7}")
        for size, zelto, numpy_us in rows:
            print(f"{size:>10} {zelto:>10.2f} {numpy_us:>10.2f} {zelto / numpy_us:>7.2f}")

    if args.oversubscribed:
        print(f"\noperations by pool size on {os.cpu_count()} processors (best of repeats, ms;"
              f" x = ratio to {args.oversubscribed[0]} workers)")
        results = {t: run_json([sys.executable, "-c", OPERATIONS], t) for t in args.oversubscribed}
        base = results[args.oversubscribed[0]]
        print(f"{'operation':>26}" + "".join(f"{f'T={t}':>18}" for t in args.oversubscribed))
        for name in base:
            cells = "".join(f"{results[t][name]:>10.3f} ({results[t][name] / base[name]:>4.1f}x)"
                            for t in args.oversubscribed)
            print(f"{name:>26}{cells}")

    if args.start:
        print(f"\npool start: first operation of a fresh interpreter, minus a 1-worker pool's")
        baseline, _ = first_operation(1, args.timeout)
        for threads in args.start:
            seconds, outcome = first_operation(threads, args.timeout)
            shown = "-" if seconds is None else f"{seconds - baseline:8.3f} s"
            print(f"{threads:>8} workers: {shown:>10}  {outcome}")


if __name__ == "__main__":
    main()

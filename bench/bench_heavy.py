"""Benchmarks run_heavy_logic against numpy's float32 abs(tan(cos(sin(x)))) loop.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_heavy.py [--repeats N]

Each pool size runs in its own interpreter (the pool is sized once per process). When the build
directory also holds heavy_bench (cmake -DZELTO_BUILD_HEAVY_BENCH=ON), the lockstep kernel is
timed against the plain one-element loop on the same pool as well. numpy's vectorised math rounds
differently in part of the terms, so it is a speed reference, not an equivalent.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

CASES = [(10_000, 100), (1_000_000, 10)]
THREADS = [1, 2]


def median_ms(fn, repeats):
    """Median wall time of fn() over repeats calls, in milliseconds."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times)


def numpy_heavy(x, iterations):
    for _ in range(iterations):
        x = np.abs(np.tan(np.cos(np.sin(x))))
    return x.sum(dtype=np.float32)


def child(repeats):
    """Times both sides of every case in this process and prints one JSON list."""
    import zelto_ml

    rng = np.random.default_rng(7)
    rows = []
    for elements, iterations in CASES:
        arr = rng.uniform(-10.0, 10.0, elements).astype(np.float32)
        data = arr.tolist()
        zelto_ml.run_heavy_logic(data[:1000], iterations)
        rows.append({
            "zelto_ms": median_ms(lambda: zelto_ml.run_heavy_logic(data, iterations), repeats),
            "numpy_ms": median_ms(lambda: numpy_heavy(arr, iterations), repeats),
        })
    sample = rng.uniform(-10.0, 10.0, 2000).astype(np.float32)
    differing = {}
    for iterations in (1, 10):
        ours = np.array([zelto_ml.run_heavy_logic([v], iterations) for v in sample.tolist()],
                        np.float32)
        theirs = sample
        for _ in range(iterations):
            theirs = np.abs(np.tan(np.cos(np.sin(theirs))))
        differing[iterations] = float(np.mean(ours.view(np.uint32) != theirs.view(np.uint32)))
    rows.append(differing)
    print(json.dumps(rows))


def run_child(threads, repeats):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, __file__, "--child", "--repeats", str(repeats)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def run_kernel_bench(binary, threads, elements, iterations, repeats):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([binary, str(elements), str(iterations), str(repeats)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--child", action="store_true")
    args = parser.parse_args()
    if args.child:
        child(args.repeats)
        return

    import zelto_ml

    binary = os.path.join(os.path.dirname(zelto_ml.__file__), "heavy_bench")
    has_kernel_bench = os.access(binary, os.X_OK)
    results = {t: run_child(t, args.repeats) for t in THREADS}

    print(f"{'case':>16} {'T':>2} {'zelto ms':>9} {'numpy ms':>9} {'numpy/zelto':>11}"
          + (f" {'plain ms':>9} {'lockstep ms':>11} {'speedup':>7}" if has_kernel_bench else ""))
    lockstep = {}
    for index, (elements, iterations) in enumerate(CASES):
        for t in THREADS:
            row = results[t][index]
            line = (f"{elements:>9} x {iterations:<4} {t:>2} {row['zelto_ms']:>9.2f} "
                    f"{row['numpy_ms']:>9.2f} {row['numpy_ms'] / row['zelto_ms']:>11.2f}")
            if has_kernel_bench:
                k = run_kernel_bench(binary, t, elements, iterations, args.repeats)
                lockstep[(index, t)] = k["lockstep_ms"]
                line += (f" {k['plain_ms']:>9.2f} {k['lockstep_ms']:>11.2f} "
                         f"{k['plain_ms'] / k['lockstep_ms']:>7.2f}")
            print(line)
    for index, (elements, iterations) in enumerate(CASES):
        one, two = results[1][index]["zelto_ms"], results[2][index]["zelto_ms"]
        print(f"{elements} x {iterations}: module 2 workers vs 1: {one / two:.2f}x", end="")
        if has_kernel_bench:
            print(f", kernel {lockstep[(index, 1)] / lockstep[(index, 2)]:.2f}x", end="")
        print()
    differing = results[1][-1]
    print(f"terms whose bits differ from numpy's: {differing['1']:.1%} after 1 repetition, "
          f"{differing['10']:.1%} after 10")
    if not has_kernel_bench:
        print("(plain-loop comparison skipped: build with -DZELTO_BUILD_HEAVY_BENCH=ON)")


if __name__ == "__main__":
    main()

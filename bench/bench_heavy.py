"""Benchmarks run_heavy_logic against numpy's float32 abs(tan(cos(sin(x)))) loop.

Run against a built module:
    PYTHONPATH=build/<dir> python bench/bench_heavy.py [--rounds R] [--repeats N]

Each pool size runs in its own interpreter (the pool is sized once per process); the pool sizes
alternate over several rounds and every figure is the median over all runs, so load from other
processes weighs on every column alike. When the build directory also holds heavy_bench
(cmake -DZELTO_BUILD_BENCH=ON), the lockstep kernel is timed against the plain
one-element loop on the same pool as well. numpy's vectorised math rounds differently in part
of the terms (the script counts them), so it is a speed reference, not an equivalent.
"""
import argparse
import json
import statistics

import numpy as np

from bench_common import cpp_bench, elapsed_ms, numpy_kernel, reexec_unthrottled, run_child, run_json

CASES = [(10_000, 100), (1_000_000, 10)]
THREADS = [1, 2]


def alternating_ms(fns, repeats):
    """Wall times in milliseconds of each fn, called in turn repeats times."""
    times = [[] for _ in fns]
    for _ in range(repeats):
        for fn, out in zip(fns, times):
            out.append(elapsed_ms(fn))
    return times


def numpy_heavy(x, iterations):
    """numpy's float32 version of the chain and sum (its own rounding, pairwise sum)."""
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
        zelto, numpy_ms = alternating_ms(
            [lambda: zelto_ml.run_heavy_logic(data, iterations),
             lambda: numpy_heavy(arr, iterations)], repeats)
        rows.append({"zelto_ms": zelto, "numpy_ms": numpy_ms})
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


def run_kernel_bench(binary, threads, elements, iterations, repeats):
    """Runs the C++ plain-against-lockstep timing with a pool of `threads` workers."""
    return run_json([binary, elements, iterations, repeats], threads)


def collect(binary, rounds, repeats):
    """Per (case, threads): lists of module, numpy, plain and lockstep times over all rounds."""
    times = {}
    differing = None
    for _ in range(rounds):
        for t in THREADS:
            rows = run_child(__file__, t, "--repeats", str(repeats))
            differing = rows[-1]
            for index, (elements, iterations) in enumerate(CASES):
                entry = times.setdefault((index, t), {"zelto": [], "numpy": [], "plain": [],
                                                      "lockstep": []})
                entry["zelto"] += rows[index]["zelto_ms"]
                entry["numpy"] += rows[index]["numpy_ms"]
                if binary:
                    k = run_kernel_bench(binary, t, elements, iterations, repeats)
                    entry["plain"].append(k["plain_ms"])
                    entry["lockstep"].append(k["lockstep_ms"])
    return times, differing


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", action="store_true")
    args = parser.parse_args()
    if args.child:
        child(args.repeats)
        return

    binary = cpp_bench("heavy_bench")
    times, differing = collect(binary, args.rounds, args.repeats)
    med = {key: {name: statistics.median(v) if v else None for name, v in entry.items()}
           for key, entry in times.items()}

    print(f"numpy: {numpy_kernel()}")
    print(f"{'case':>16} {'T':>2} {'zelto ms':>9} {'numpy ms':>9} {'numpy/zelto':>11}"
          + (f" {'plain ms':>9} {'lockstep ms':>11} {'speedup':>7}" if binary else ""))
    for index, (elements, iterations) in enumerate(CASES):
        for t in THREADS:
            m = med[(index, t)]
            line = (f"{elements:>9} x {iterations:<4} {t:>2} {m['zelto']:>9.2f} "
                    f"{m['numpy']:>9.2f} {m['numpy'] / m['zelto']:>11.2f}")
            if binary:
                line += (f" {m['plain']:>9.2f} {m['lockstep']:>11.2f} "
                         f"{m['plain'] / m['lockstep']:>7.2f}")
            print(line)
    for index, (elements, iterations) in enumerate(CASES):
        one, two = med[(index, 1)], med[(index, 2)]
        print(f"{elements} x {iterations}: module 2 workers vs 1: "
              f"{one['zelto'] / two['zelto']:.2f}x", end="")
        if binary:
            print(f", kernel {one['lockstep'] / two['lockstep']:.2f}x", end="")
        print()
    print(f"terms whose bits differ from numpy's: {differing['1']:.1%} after 1 repetition, "
          f"{differing['10']:.1%} after 10")
    if not binary:
        print("(plain-loop comparison skipped: build with -DZELTO_BUILD_BENCH=ON)")


if __name__ == "__main__":
    main()

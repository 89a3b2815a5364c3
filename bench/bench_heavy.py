"""Benchmarks run_heavy_logic against numpy's float32 abs(tan(cos(sin(x)))) loop.

Run against a built module:
    PYTHONPATH=build/<dir> python bench/bench_heavy.py [--rounds R] [--repeats N]

Each pool size runs in its own interpreter (the pool is sized once per process); the pool sizes
alternate over several rounds and every figure is the median over all runs, so load from other
processes weighs on every column alike. When the build directory also holds heavy_bench
(cmake -DZELTO_BUILD_BENCH=ON), the leaves are timed on the same pool as well: the plain
one-element loop, the lockstep library calls and the leaf run_heavy_logic chose (a vector chain
where the library guard accepts it), and each vector sinf/cosf/tanf against the library's on one
thread. numpy's vectorised math rounds differently in part of the terms (the script counts
them), so it is a speed reference, not an equivalent.

The module's calls alternate with numpy's, so each follows numpy's turn on the calling thread,
during which the workers go to sleep; the C++ leaves run back to back with the workers awake.
bench/heavy_leaves.md traces what that difference costs (heavy_bench trace).
"""
import argparse
import json
import statistics
import subprocess

import numpy as np

from bench_common import (cpp_bench, elapsed_ms, numpy_kernel, reexec_unthrottled, run_child,
                          run_json, unthrottled_env, wait_for_blas_threads)

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

    wait_for_blas_threads()
    rng = np.random.default_rng(7)
    rows = []
    for elements, iterations in CASES:
        arr = rng.uniform(-10.0, 10.0, elements).astype(np.float32)
        # Both sides take the same float32 array: the module reads its memory directly.
        zelto_ml.run_heavy_logic(arr[:1000], iterations)
        zelto, numpy_ms = alternating_ms(
            [lambda: zelto_ml.run_heavy_logic(arr, iterations),
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
    """Runs the C++ timing of the three leaves with a pool of `threads` workers."""
    return run_json([binary, elements, iterations, repeats], threads)


def collect(binary, rounds, repeats):
    """Per (case, threads): lists of module, numpy and per-leaf times over all rounds; the name
    of the chosen leaf; numpy's share of differing terms."""
    times = {}
    differing = None
    chosen = None
    for _ in range(rounds):
        for t in THREADS:
            rows = run_child(__file__, t, "--repeats", str(repeats))
            differing = rows[-1]
            for index, (elements, iterations) in enumerate(CASES):
                entry = times.setdefault((index, t), {"zelto": [], "numpy": [], "plain": [],
                                                      "lockstep": [], "chosen": []})
                entry["zelto"] += rows[index]["zelto_ms"]
                entry["numpy"] += rows[index]["numpy_ms"]
                if binary:
                    k = run_kernel_bench(binary, t, elements, iterations, repeats)
                    for leaf in ("plain", "lockstep", "chosen"):
                        entry[leaf].append(k[f"{leaf}_ms"])
                    chosen = k["chosen"]
    return times, differing, chosen


def machine_scaling(binary, rounds, repeats):
    """The machine's own two-processor speed-up for this work, independent of the pool: twice
    the one-worker leaf's time at 10^4 x 100 alone over its time in two such processes at once
    (medians), so 2x when the processors do not slow each other. On a VM guest whose two processors the host may place on one core's two
    hardware threads, this falls well below 2x at times, and every two-worker figure with it."""
    command = [binary, *CASES[0], repeats]
    env = dict(unthrottled_env(), RAYON_NUM_THREADS="1")
    alone, together = [], []
    for _ in range(rounds):
        alone.append(run_json(command, 1)["chosen_ms"])
        pair = [subprocess.Popen([str(part) for part in command], env=env, text=True,
                                 stdout=subprocess.PIPE) for _ in range(2)]
        together += [json.loads(p.communicate()[0].strip().splitlines()[-1])["chosen_ms"]
                     for p in pair]
    return 2 * statistics.median(alone) / statistics.median(together)


def print_functions(binary, rounds, repeats):
    """ns per element of each function, the library's scalar calls against the vector variants
    the guard accepts, on one thread; medians over the rounds."""
    runs = [run_json([binary, "functions", repeats], 1) for _ in range(rounds)]
    ns = {key: statistics.median(r[key] for r in runs) for key in runs[0]}
    variants = sorted({key.split()[2] for key in ns} - {"libm"})
    print(f"\nper function, ns per element, one thread ({len(runs)} runs, median):")
    print(f"{'inputs':>22} {'function':>8} {'libm':>7}"
          + "".join(f" {v:>7} {'x':>5}" for v in variants))
    for span, label in (("wide", "U[-10, 10]"), ("chain", "U[0.5, 1] (chain)")):
        for function in ("sinf", "cosf", "tanf"):
            libm = ns[f"{span} {function} libm"]
            line = f"{label:>22} {function:>8} {libm:>7.2f}"
            for v in variants:
                vec = ns[f"{span} {function} {v}"]
                line += f" {vec:>7.2f} {libm / vec:>5.1f}"
            print(line)


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
    times, differing, chosen = collect(binary, args.rounds, args.repeats)
    med = {key: {name: statistics.median(v) if v else None for name, v in entry.items()}
           for key, entry in times.items()}

    import numpy
    print(f"numpy {numpy.__version__}: {numpy_kernel()}")
    if binary:
        print(f"run_heavy_logic's leaf here: {chosen}")
    print(f"{'case':>16} {'T':>2} {'zelto ms':>9} {'numpy ms':>9} {'numpy/zelto':>11}"
          + (f" {'plain ms':>9} {'lockstep ms':>11} {'chosen ms':>9} {'plain/chosen':>12}"
             if binary else ""))
    for index, (elements, iterations) in enumerate(CASES):
        for t in THREADS:
            m = med[(index, t)]
            line = (f"{elements:>9} x {iterations:<4} {t:>2} {m['zelto']:>9.2f} "
                    f"{m['numpy']:>9.2f} {m['numpy'] / m['zelto']:>11.2f}")
            if binary:
                line += (f" {m['plain']:>9.2f} {m['lockstep']:>11.2f} {m['chosen']:>9.2f} "
                         f"{m['plain'] / m['chosen']:>12.2f}")
            print(line)
    for index, (elements, iterations) in enumerate(CASES):
        one, two = med[(index, 1)], med[(index, 2)]
        print(f"{elements} x {iterations}: module 2 workers vs 1: "
              f"{one['zelto'] / two['zelto']:.2f}x", end="")
        if binary:
            print(f", chosen leaf {one['chosen'] / two['chosen']:.2f}x", end="")
        print()
    if binary:
        print(f"the machine's own 2 vs 1 (two one-worker processes at once): "
              f"{machine_scaling(binary, args.rounds, args.repeats):.2f}x")
    print(f"terms whose bits differ from numpy's: {differing['1']:.1%} after 1 repetition, "
          f"{differing['10']:.1%} after 10")
    if binary:
        print_functions(binary, args.rounds, args.repeats)
    else:
        print("(leaf and function comparisons skipped: build with -DZELTO_BUILD_BENCH=ON)")


if __name__ == "__main__":
    main()

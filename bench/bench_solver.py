"""Benchmarks ZeltoSolver.fit and predict against the equivalent numpy float32 code.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_solver.py [--repeats N]

Each pool size runs in its own interpreter (the pool is sized once per process); numpy runs in
the same interpreter, side by side. fit is timed with `iters` steps; the per-step time subtracts
a fit with 0 steps (argument conversion) and divides by `iters`. numpy's step is
p = X @ w + b; e = p - y; g = X.T @ e; w -= (g / n) * lr; b -= (sum(e) / n) * lr.
predict is timed with its list result against X @ w + b (an array; .tolist() shown separately).

When the module's directory also holds solver_bench (cmake -DZELTO_BUILD_BENCH=ON),
the same shapes are timed without the Python boundary (no list conversion) on the same pool
size, and each instruction set's kernels on one thread against the plain row loops.
"""
import argparse
import json

import numpy as np

from bench_common import cpp_bench, median_ms, numpy_kernel, reexec_unthrottled, run_child, run_json

CASES = [(100_000, 64), (10_000, 512), (1_000, 16)]
ITERS = 100
THREADS = [1, 2]


def numpy_fit(x, y, lr, iters):
    n = np.float32(x.shape[0])
    w, b = np.zeros(x.shape[1], np.float32), np.float32(0.0)
    for _ in range(iters):
        e = (x @ w + b) - y
        g = x.T @ e
        w = w - (g / n) * lr
        b = b - (e.sum(dtype=np.float32) / n) * lr
    return w, b


def child(repeats):
    """Times every case in this process and prints one JSON list."""
    from zelto_ml import ZeltoMatrix, ZeltoSolver

    rng = np.random.default_rng(11)
    lr = np.float32(0.01)
    rows = []
    for n, m in CASES:
        x = rng.standard_normal((n, m)).astype(np.float32)
        y = (x @ rng.standard_normal(m).astype(np.float32)).astype(np.float32)
        xm, yl = ZeltoMatrix(x.ravel().tolist(), n, m), y.tolist()
        trained, untrained = ZeltoSolver(float(lr), ITERS), ZeltoSolver(float(lr), 0)
        trained.fit(xm, yl)
        w, b = numpy_fit(x, y, lr, 1)
        # All of one side's calls run before the other's: numpy's BLAS threads keep spinning
        # for a while after each call and would otherwise take the cores from the pool.
        row = {
            "n": n, "m": m,
            "fit_ms": median_ms(lambda: trained.fit(xm, yl), repeats=repeats),
            "fit0_ms": median_ms(lambda: untrained.fit(xm, yl), repeats=repeats),
            "predict_ms": median_ms(lambda: trained.predict(xm), repeats=repeats * 4),
            "numpy_fit_ms": median_ms(lambda: numpy_fit(x, y, lr, ITERS), repeats=repeats),
            "numpy_predict_ms": median_ms(lambda: x @ w + b, repeats=repeats * 4),
            "numpy_predict_list_ms": median_ms(lambda: (x @ w + b).tolist(), repeats=repeats * 4),
        }
        rows.append(row)
    print(json.dumps(rows))


def run_cpp_bench(binary, threads, n, m, repeats):
    """The C++ solver bench on an n x m matrix (20 steps) with a pool of `threads` workers."""
    return run_json([binary, n, m, 20, repeats], threads)


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--child", action="store_true")
    args = parser.parse_args()
    if args.child:
        child(args.repeats)
        return
    results = {threads: run_child(__file__, threads, "--repeats", str(args.repeats))
               for threads in THREADS}
    print(f"numpy: {numpy_kernel()}")
    print(f"{'threads':>7} {'shape':>12} | {'step ms':>8} {'numpy':>8} {'speedup':>7} | "
          f"{'predict ms':>10} {'numpy':>8} {'+list':>8} {'speedup':>7}")
    for threads, rows in results.items():
        for r in rows:
            step = (r["fit_ms"] - r["fit0_ms"]) / ITERS
            numpy_step = r["numpy_fit_ms"] / ITERS
            print(f"{threads:>7} {r['n']:>6}x{r['m']:<5} | {step:8.3f} {numpy_step:8.3f} "
                  f"{numpy_step / step:6.2f}x | {r['predict_ms']:10.3f} "
                  f"{r['numpy_predict_ms']:8.3f} {r['numpy_predict_list_ms']:8.3f} "
                  f"{r['numpy_predict_ms'] / r['predict_ms']:6.2f}x")
    binary = cpp_bench("solver_bench")
    if binary is None:
        return
    print("\nwithout the Python boundary (numpy columns from the table above)")
    print(f"{'threads':>7} {'shape':>12} | {'step ms':>8} {'speedup':>7} | {'predict ms':>10} "
          f"{'speedup':>7} | one thread: predict / gradient ms per kernel")
    for threads, rows in results.items():
        for r in rows:
            c = run_cpp_bench(binary, threads, r["n"], r["m"], args.repeats)
            numpy_step = r["numpy_fit_ms"] / ITERS
            kernels = "  ".join(f"{name} {c[name]['predict_ms']:.3f}/{c[name]['gradient_ms']:.3f}"
                                for name in ("plain", "baseline", "avx2", "avx512") if name in c)
            print(f"{threads:>7} {r['n']:>6}x{r['m']:<5} | {c['step_ms']:8.3f} "
                  f"{numpy_step / c['step_ms']:6.2f}x | {c['predict_ms']:10.3f} "
                  f"{r['numpy_predict_ms'] / c['predict_ms']:6.2f}x | {kernels}")


if __name__ == "__main__":
    main()

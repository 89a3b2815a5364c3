"""Benchmarks ZeltoSolver.fit and predict against the equivalent numpy float32 code.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_solver.py [--repeats N]
[--rounds N] [--shapes NxM ...]

Each pool size runs in its own interpreter (the pool is sized once per process); numpy runs in
the same interpreter, side by side, at its best: with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE
removed, and with its BLAS on as many threads as the pool and on one thread, keeping the faster
(its spinning threads lose badly when other work shares the cores). numpy's step is
p = X @ w + b; e = p - y; g = X.T @ e; w -= (g / n) * lr; b -= (sum(e) / n) * lr.
A fit is timed with ITERS steps; its step subtracts a fit with 0 steps (argument conversion)
and divides by ITERS. The whole set runs --rounds times, the pool sizes alternating, and every
figure keeps its best round: on a shared machine a round can lose its cores to other work.

predict returns a list, which numpy's X @ w + b does not build: the kernel's time comes from the
C++ bench (no list), the Python call with its list is shown beside numpy's (X @ w + b).tolist(),
and predict_matrix (the same values as an (n, 1) matrix, no list) beside X @ w + b.

When the module's directory also holds solver_bench (cmake -DZELTO_BUILD_BENCH=ON), the same
shapes are also timed without the Python boundary on the same pool size, beside the bandwidth
limit of a pass over X (a plain streaming read of X on the same pool and division), and each
instruction set's kernels on one thread against the plain row loops.
"""
import argparse
import contextlib
import json

import numpy as np

from bench_common import cpp_bench, median_ms, numpy_kernel, reexec_unthrottled, run_child, run_json

# 20 MB (in the shared last-level cache), 25.6 MB (at its edge), 128 MB (from memory), and
# 1 MB, half of it in each core's own L2 on two threads: where two threads can double one.
CASES = [(10_000, 512), (100_000, 64), (1_000_000, 32), (2_000, 128)]
ITERS = 10
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


def numpy_best_ms(fn, threads, repeats):
    """Median time of fn with numpy's BLAS on `threads` threads and on one; the faster."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return median_ms(fn, repeats=repeats)
    best = None
    for limit in sorted({1, threads}):
        with threadpool_limits(limits=limit, user_api="blas"):
            ms = median_ms(fn, repeats=repeats)
        best = ms if best is None else min(best, ms)
    return best


def one_blas_thread():
    """A context in which numpy's BLAS runs on the calling thread only (no-op without
    threadpoolctl): its worker threads stay asleep instead of spinning after the call."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return contextlib.nullcontext()
    return threadpool_limits(limits=1, user_api="blas")


def child(repeats, threads, shapes):
    """Times every case in this process and prints one JSON list."""
    from zelto_ml import ZeltoMatrix, ZeltoSolver

    rng = np.random.default_rng(11)
    lr = np.float32(0.01)
    cases = []
    # The targets' X @ v runs on one BLAS thread: BLAS threads woken now would spin on the cores
    # while the first zelto_ml case is timed.
    with one_blas_thread():
        for n, m in shapes:
            x = rng.standard_normal((n, m)).astype(np.float32)
            y = (x @ rng.standard_normal(m).astype(np.float32)).astype(np.float32)
            cases.append((x, y, ZeltoMatrix(x.ravel().tolist(), n, m), y.tolist()))
    # Every zelto_ml case runs before numpy's first call: numpy's BLAS threads keep spinning for
    # a while after each call and would take the cores from the pool.
    rows = []
    for x, y, xm, yl in cases:
        trained, untrained = ZeltoSolver(float(lr), ITERS), ZeltoSolver(float(lr), 0)
        trained.fit(xm, yl)
        rows.append({
            "n": x.shape[0], "m": x.shape[1],
            "fit_ms": median_ms(lambda: trained.fit(xm, yl), repeats=repeats),
            "fit0_ms": median_ms(lambda: untrained.fit(xm, yl), repeats=repeats),
            "predict_list_ms": median_ms(lambda: trained.predict(xm), repeats=repeats * 2),
            "predict_matrix_ms": median_ms(lambda: trained.predict_matrix(xm),
                                           repeats=repeats * 4),
        })
    for row, (x, y, _, _) in zip(rows, cases):
        w, b = numpy_fit(x, y, lr, 1)
        row.update({
            "numpy_fit_ms": numpy_best_ms(lambda: numpy_fit(x, y, lr, ITERS), threads, repeats),
            "numpy_predict_ms": numpy_best_ms(lambda: x @ w + b, threads, repeats * 4),
            "numpy_predict_list_ms": numpy_best_ms(lambda: (x @ w + b).tolist(), threads, repeats),
        })
    print(json.dumps(rows))


def run_cpp_bench(binary, threads, n, m, repeats):
    """The C++ solver bench on an n x m matrix (ITERS steps) with a pool of `threads` workers."""
    return run_json([binary, n, m, ITERS, repeats], threads)


def best_of(old, new):
    """The element-wise minimum of two results of the same shape (numbers in dicts and lists)."""
    if old is None:
        return new
    if isinstance(new, dict):
        return {k: best_of(old[k], v) for k, v in new.items()}
    if isinstance(new, list):
        return [best_of(a, b) for a, b in zip(old, new)]
    return min(old, new)


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", action="store_true")
    parser.add_argument("--threads", type=int, default=1, help=argparse.SUPPRESS)
    parser.add_argument("--shapes", nargs="+", metavar="NxM",
                        default=[f"{n}x{m}" for n, m in CASES], help="the cases to time")
    args = parser.parse_args()
    shapes = [tuple(int(d) for d in shape.split("x")) for shape in args.shapes]
    if args.child:
        child(args.repeats, args.threads, shapes)
        return
    binary = cpp_bench("solver_bench")
    results, cpp = {}, {}
    for _ in range(args.rounds):
        for threads in THREADS:
            rows = run_child(__file__, threads, "--repeats", str(args.repeats),
                             "--threads", str(threads), "--shapes", *args.shapes)
            results[threads] = best_of(results.get(threads), rows)
            for r in rows if binary else []:
                key = (threads, r["n"], r["m"])
                cpp[key] = best_of(cpp.get(key),
                                   run_cpp_bench(binary, threads, r["n"], r["m"], args.repeats))
    print(f"numpy: {numpy_kernel()}")
    print("fit: ms per gradient step (zelto from Python, C++ without the boundary); read = a "
          "plain streaming read of X\non the same pool (the limit of one pass); pool = a pass "
          "with empty leaves (waking the pool, accumulators, combining)")
    print(f"{'threads':>7} {'shape':>12} | {'zelto':>8} {'C++':>8} {'numpy':>8} {'speedup':>7} | "
          f"{'read':>8} {'C++/read':>8} {'pool':>8}")
    for threads, rows in results.items():
        for r in rows:
            step = (r["fit_ms"] - r["fit0_ms"]) / ITERS
            numpy_step = r["numpy_fit_ms"] / ITERS
            c = cpp.get((threads, r["n"], r["m"]))
            limit = (f"{c['step_ms']:8.3f} {numpy_step:8.3f} {numpy_step / c['step_ms']:6.2f}x | "
                     f"{c['read_ms']:8.3f} {c['step_ms'] / c['read_ms']:7.2f}x "
                     f"{c['overhead_ms']:8.3f}") if c else \
                f"{'-':>8} {numpy_step:8.3f} {numpy_step / step:6.2f}x |"
            print(f"{threads:>7} {r['n']:>7}x{r['m']:<4} | {step:8.3f} {limit}")
    print("\npredict: ms per call; the kernel (C++, no list) beside X @ w + b, then both with "
          "their lists, then predict_matrix (Python, no list) beside X @ w + b")
    print(f"{'threads':>7} {'shape':>12} | {'kernel':>8} {'numpy':>8} {'speedup':>7} | "
          f"{'+list':>8} {'numpy':>8} | {'matrix':>8} {'speedup':>7}")
    for threads, rows in results.items():
        for r in rows:
            c = cpp.get((threads, r["n"], r["m"]))
            kernel = (f"{c['predict_ms']:8.3f} {r['numpy_predict_ms']:8.3f} "
                      f"{r['numpy_predict_ms'] / c['predict_ms']:6.2f}x") if c else \
                f"{'-':>8} {r['numpy_predict_ms']:8.3f} {'-':>7}"
            print(f"{threads:>7} {r['n']:>7}x{r['m']:<4} | {kernel} | "
                  f"{r['predict_list_ms']:8.3f} {r['numpy_predict_list_ms']:8.3f} | "
                  f"{r['predict_matrix_ms']:8.3f} "
                  f"{r['numpy_predict_ms'] / r['predict_matrix_ms']:6.2f}x")
    if not cpp:
        return
    print("\none thread, the kernels on all rows: predict / gradient ms")
    for (threads, n, m), c in cpp.items():
        if threads != 1:
            continue
        kernels = "  ".join(f"{name} {c[name]['predict_ms']:.3f}/{c[name]['gradient_ms']:.3f}"
                            for name in ("plain", "baseline", "avx2", "avx512") if name in c)
        print(f"{n:>7}x{m:<4} | {kernels}")


if __name__ == "__main__":
    main()

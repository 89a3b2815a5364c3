"""Benchmarks the matrix operations against numpy, side by side in one run.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_matrix.py [--threads 2]

The timings run in child interpreters whose pool is sized by RAYON_NUM_THREADS (the pool is
sized once per process): matmul on one thread and on --threads, numpy's BLAS limited to the
same number of threads, then the element-wise operations and transpose on --threads. When the
build directory also holds the C++ benches (cmake -DZELTO_BUILD_BENCH=ON), the report starts
with the processor's multiply-then-add peak per core (peak_bench), and matmul's kernels of
every instruction set are timed against the plain i-p-j loop compiled for baseline x86-64 on
the same pool. A last child measures the peak resident memory each operation adds on a
4096 x 4096 matrix, against the size of its result.
"""
import argparse
import contextlib
import json

import numpy as np

from bench_common import (cpp_bench, median_ms, numpy_kernel, reexec_unthrottled, run_child,
                          run_json, wait_for_blas_threads)

# (rows of A, inner dimension, columns of B): squares, a side that is not a power of two, a
# shallow product with a large result, a deep one with a small result, and a matrix-vector one.
MATMUL_SHAPES = [(8, 8, 8), (64, 64, 64), (256, 256, 256), (512, 512, 512), (1000, 1000, 1000),
                 (1024, 1024, 1024), (2048, 2048, 2048), (4096, 64, 4096), (64, 8192, 64),
                 (100000, 64, 1)]
# Products this small are reported in microseconds per call.
SMALL_FLOPS = 2 * 64**3
ELEMENTWISE_SIZES = [10**3, 10**4, 10**5, 10**6, 10**7]
TRANSPOSE_SIZE = 4096


def side_by_side(ours, theirs, settle=lambda: None):
    """Alternates the two callables in rounds so both see the same machine load; settle() runs
    before each round of ours."""
    a, b = [], []
    for _ in range(3):
        settle()
        a.append(median_ms(ours, 0.2))
        b.append(median_ms(theirs, 0.2))
    return min(a), min(b)


def zelto_of(zelto_ml, arr):
    return zelto_ml.ZeltoMatrix(arr.ravel().tolist(), arr.shape[0], arr.shape[1])


def shape_label(r, k, n):
    return f"{r}^3" if r == k == n else f"{r}x{k} @ {k}x{n}"


def child_matmul(threads):
    """Times matmul on every shape, numpy's BLAS on as many threads; prints one JSON list."""
    import zelto_ml

    try:
        from threadpoolctl import threadpool_limits
        limits = threadpool_limits(limits=threads, user_api="blas")
    except ImportError:
        limits = contextlib.nullcontext()
    rng = np.random.default_rng(3)
    rows = []
    with limits:
        for r, k, n in MATMUL_SHAPES:
            a = rng.uniform(-1, 1, (r, k)).astype(np.float32)
            b = rng.uniform(-1, 1, (k, n)).astype(np.float32)
            za, zb = zelto_of(zelto_ml, a), zelto_of(zelto_ml, b)
            ours, theirs = side_by_side(lambda: za.matmul(zb), lambda: a @ b,
                                        wait_for_blas_threads)
            flops = 2 * r * k * n
            rows.append({"case": shape_label(r, k, n), "flops": flops, "zelto_ms": ours,
                         "numpy_ms": theirs})
    print(json.dumps(rows))


def child_speed():
    """Times the element-wise operations and transpose; prints one JSON list of rows."""
    import zelto_ml

    rng = np.random.default_rng(3)
    rows = []
    for size in ELEMENTWISE_SIZES:
        arr = rng.uniform(-1, 1, (1, size)).astype(np.float32)
        za, v = zelto_of(zelto_ml, arr), np.float32(1.5)
        for name, ours, theirs in (("add", lambda: za.add(1.5), lambda: arr + v),
                                   ("mul", lambda: za.mul(1.5), lambda: arr * v)):
            z, t = side_by_side(ours, theirs)
            rows.append({"case": f"{name} {size:.0e}", "zelto_ms": z, "numpy_ms": t})
    arr = rng.uniform(-1, 1, (TRANSPOSE_SIZE, TRANSPOSE_SIZE)).astype(np.float32)
    za = zelto_of(zelto_ml, arr)
    z, t = side_by_side(lambda: za.transpose(), lambda: arr.T.copy())
    rows.append({"case": f"transpose {TRANSPOSE_SIZE}", "zelto_ms": z, "numpy_ms": t})
    print(json.dumps(rows))


def resident_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def child_memory():
    """Peak resident memory each operation adds, in MiB, with the result's own size."""
    import gc

    import zelto_ml

    n = TRANSPOSE_SIZE
    arr = np.random.default_rng(5).uniform(-1, 1, (n, n)).astype(np.float32)
    za = zelto_of(zelto_ml, arr)
    del arr
    gc.collect()
    rows = []
    # Every result stays alive, so no call can take over a block an earlier result released.
    results = []
    for name, op in (("add", lambda: za.add(1.0)), ("mul", lambda: za.mul(2.0)),
                     ("transpose", lambda: za.transpose()), ("matmul", lambda: za.matmul(za))):
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")  # resets the peak to the current resident size
        base = resident_kib("VmRSS")
        results.append(op())
        rows.append({"case": f"{name} {n}", "peak_added_mib": (resident_kib("VmHWM") - base) / 1024,
                     "result_mib": n * n * 4 / 2**20})
    print(json.dumps(rows))


def kernel_bench(binary, threads, r, k, n):
    """The C++ matmul kernels against the plain loop (3 repeats) with a pool of `threads`."""
    return run_json([binary, r, k, n, 3], threads)


def peak_gflops():
    """The multiply-then-add peak of one core in GFLOPS, the best over the register widths the
    processor runs (on Zen 4, 256-bit registers reach it and 512-bit ones fall about 13% short),
    or None when peak_bench was not built."""
    binary = cpp_bench("peak_bench")
    return max(run_json([binary], 1).values()) if binary else None


def print_matmul(rows, threads, peak):
    """One line per shape: times, numpy / zelto_ml, GFLOPS, and the share of the peak."""
    for row in rows:
        small = row["flops"] <= SMALL_FLOPS
        scale, unit = (1e3, "us") if small else (1.0, "ms")
        z, t = row["zelto_ms"], row["numpy_ms"]
        gflops, numpy_gflops = row["flops"] / z / 1e6, row["flops"] / t / 1e6
        share = f" {gflops / (peak * threads):>6.0%}" if peak else ""
        print(f"{row['case']:>22} {threads:>2} {z * scale:>9.3f}{unit} {t * scale:>9.3f}{unit} "
              f"{t / z:>11.2f} {gflops:>8.1f} {numpy_gflops:>12.1f}{share}")


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--child", nargs="+", metavar=("KIND", "THREADS"),
                        help="speed, memory, or matmul THREADS: one part in this process")
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()
    if args.child:
        kind = args.child[0]
        if kind == "matmul":
            child_matmul(int(args.child[1]))
        elif kind == "speed":
            child_speed()
        else:
            child_memory()
        return

    print(f"numpy: {numpy_kernel()}")
    peak = peak_gflops()
    if peak:
        print(f"peak: {peak:.1f} GFLOPS per core, separate multiply and add on register "
              f"operands (peak_bench)")
    print("medians, best of 3 alternating rounds; numpy's BLAS on as many threads as the pool")
    print(f"{'matmul':>22} {'T':>2} {'zelto':>11} {'numpy':>11} {'numpy/zelto':>11} "
          f"{'GFLOPS':>8} {'numpy GFLOPS':>12}{' of peak' if peak else ''}")
    for threads in sorted({1, args.threads}):
        print_matmul(run_child(__file__, threads, "matmul", str(threads)), threads, peak)

    print(f"\npool of {args.threads}")
    print(f"{'case':>16} {'zelto ms':>10} {'numpy ms':>10} {'numpy/zelto':>11}")
    for row in run_child(__file__, args.threads, "speed"):
        print(f"{row['case']:>16} {row['zelto_ms']:>10.4f} {row['numpy_ms']:>10.4f} "
              f"{row['numpy_ms'] / row['zelto_ms']:>11.2f}")

    binary = cpp_bench("matrix_bench")
    if binary:
        print(f"\nmatmul kernels on a pool of {args.threads} (GFLOPS); the chosen ISA against "
              f"the plain loop")
        for n in (512, 1000, 1024, 2048):
            k = kernel_bench(binary, args.threads, n, n, n)
            variants = [key[:-7] for key in k if key.endswith("_gflops")]
            best = variants[-1]
            print(f"{n:>6}: " + "  ".join(f"{v} {k[v + '_gflops']:.1f}" for v in variants)
                  + f"  -> {k[best + '_gflops'] / k['plain_gflops']:.1f}x plain")
    else:
        print("\n(peak and plain-loop comparison skipped: build with -DZELTO_BUILD_BENCH=ON)")

    if not args.skip_memory:
        print(f"\npeak resident memory added by one call, {TRANSPOSE_SIZE} x {TRANSPOSE_SIZE}")
        for row in run_child(__file__, args.threads, "memory"):
            print(f"{row['case']:>16} {row['peak_added_mib']:>8.1f} MiB "
                  f"(result {row['result_mib']:.1f} MiB)")


if __name__ == "__main__":
    main()

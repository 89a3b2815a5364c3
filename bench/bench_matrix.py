"""Benchmarks the matrix operations against numpy, side by side in one run.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_matrix.py [--threads 2]

The timings run in a child interpreter whose pool is sized by RAYON_NUM_THREADS (the pool is
sized once per process). When the build directory also holds matrix_bench
(cmake -DZELTO_BUILD_BENCH=ON), matmul's kernels are also timed against the plain
i-p-j loop compiled for baseline x86-64 on the same pool. A last child measures the peak
resident memory each operation adds on a 4096 x 4096 matrix, against the size of its result.
"""
import argparse
import json

import numpy as np

from bench_common import cpp_bench, median_ms, numpy_kernel, reexec_unthrottled, run_child, run_json

MATMUL_SIZES = [8, 64, 512, 1024, 2048]
ELEMENTWISE_SIZES = [10**3, 10**5, 10**7]
TRANSPOSE_SIZE = 4096


def side_by_side(ours, theirs):
    """Alternates the two callables in rounds so both see the same machine load."""
    a, b = [], []
    for _ in range(3):
        a.append(median_ms(ours, 0.2))
        b.append(median_ms(theirs, 0.2))
    return min(a), min(b)


def zelto_of(zelto_ml, arr):
    return zelto_ml.ZeltoMatrix(arr.ravel().tolist(), arr.shape[0], arr.shape[1])


def child_speed():
    """Times every case in this process and prints one JSON list of rows."""
    import zelto_ml

    rng = np.random.default_rng(3)
    rows = []
    for n in MATMUL_SIZES:
        a = rng.uniform(-1, 1, (n, n)).astype(np.float32)
        b = rng.uniform(-1, 1, (n, n)).astype(np.float32)
        za, zb = zelto_of(zelto_ml, a), zelto_of(zelto_ml, b)
        ours, theirs = side_by_side(lambda: za.matmul(zb), lambda: a @ b)
        rows.append({"case": f"matmul {n}", "zelto_ms": ours, "numpy_ms": theirs,
                     "gflops": 2 * n**3 / ours / 1e6, "numpy_gflops": 2 * n**3 / theirs / 1e6})
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


def kernel_bench(binary, threads, n):
    """The C++ matmul kernels against the plain loop (3 repeats) with a pool of `threads`."""
    return run_json([binary, n, 3], threads)


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--child", choices=["speed", "memory"])
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()
    if args.child == "speed":
        child_speed()
        return
    if args.child == "memory":
        child_memory()
        return

    print(f"numpy: {numpy_kernel()}")
    print(f"pool of {args.threads}; medians, best of 3 alternating rounds")
    print(f"{'case':>16} {'zelto ms':>10} {'numpy ms':>10} {'numpy/zelto':>11} {'GFLOPS':>8} "
          f"{'numpy GFLOPS':>12}")
    for row in run_child(__file__, args.threads, "speed"):
        line = (f"{row['case']:>16} {row['zelto_ms']:>10.4f} {row['numpy_ms']:>10.4f} "
                f"{row['numpy_ms'] / row['zelto_ms']:>11.2f}")
        if "gflops" in row:
            line += f" {row['gflops']:>8.1f} {row['numpy_gflops']:>12.1f}"
        print(line)

    binary = cpp_bench("matrix_bench")
    if binary:
        print(f"\nmatmul kernels on the pool (GFLOPS); speedup of the chosen ISA over the plain loop")
        for n in (512, 1024, 2048):
            k = kernel_bench(binary, args.threads, n)
            variants = [key[:-7] for key in k if key.endswith("_gflops")]
            best = variants[-1]
            print(f"{n:>6}: " + "  ".join(f"{v} {k[v + '_gflops']:.1f}" for v in variants)
                  + f"  -> {k[best + '_gflops'] / k['plain_gflops']:.1f}x plain")
    else:
        print("\n(plain-loop comparison skipped: build with -DZELTO_BUILD_BENCH=ON)")

    if not args.skip_memory:
        print(f"\npeak resident memory added by one call, {TRANSPOSE_SIZE} x {TRANSPOSE_SIZE}")
        for row in run_child(__file__, args.threads, "memory"):
            print(f"{row['case']:>16} {row['peak_added_mib']:>8.1f} MiB "
                  f"(result {row['result_mib']:.1f} MiB)")


if __name__ == "__main__":
    main()

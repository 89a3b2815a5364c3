"""Crossing the boundary, each case beside numpy in one process:

1. numpy in, numpy out, 10^3 to 10^7 elements: ZeltoMatrix from float32, float64 and int64
   arrays (read from memory) beside a.copy() and a.astype(np.float32); from a.tolist() beside
   np.array(list, np.float32); from an ndarray subclass, which is read item by item as every
   array was before arrays were read from memory; np.asarray(matrix) beside np.asarray(array).
2. Peak memory of each construction, in a fresh process per case: the growth of the peak
   resident set over the input already in memory, beside the result's own size.
3. Lists and tuples in, to_list() out, and the fixed cost of a method call (--n elements).

    PYTHONPATH=build/<dir> .venv/bin/python bench/bench_convert.py [--n 1000000] [--repeat 7]
"""
import argparse
import json
import subprocess
import sys
import timeit

import numpy as np

from bench_common import numpy_kernel, reexec_unthrottled, unthrottled_env

from zelto_ml import ZeltoMatrix

SIZES = [10**3, 10**4, 10**5, 10**6, 10**7]


class ItemByItem(np.ndarray):
    """An ndarray subclass: the module reads it one numpy scalar at a time."""


def best(stmt, number, repeat):
    """Best time per call in seconds."""
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def calls_for(n):
    """Calls per timing: a few milliseconds of work for the fast cases, at most 2000 calls."""
    return min(2000, max(1, 10**7 // n))


def array_rows(repeat):
    """(size, case, ours s, numpy s or None, note) for the array cases at every size."""
    rows = []
    rng = np.random.default_rng(7)
    for n in SIZES:
        number = calls_for(n)
        f32 = rng.standard_normal(n).astype(np.float32)
        f64 = rng.standard_normal(n)
        i64 = rng.integers(-(2**62), 2**62, n)
        for name, a, theirs, code in [
            ("from float32 array", f32, f32.copy, "a.copy()"),
            ("from float64 array", f64, lambda: f64.astype(np.float32), "a.astype(np.float32)"),
            ("from int64 array", i64, lambda: i64.astype(np.float32), "a.astype(np.float32)"),
            ("from float32 array, stride 2", np.repeat(f32, 2)[::2], None, ""),
        ]:
            ours = best(lambda: ZeltoMatrix(a, 1, n), number, repeat)
            rows.append((n, name, ours, best(theirs, number, repeat) if theirs else None, code))
        from_memory = rows[-4][2]
        out = np.empty_like(f32)
        copy = best(lambda: np.copyto(out, f32), number, repeat)
        rows.append((n, "np.copyto(out, a)", copy, None,
                     f"numpy copying into memory it already has: {8 * n / copy / 1e9:.1f} GB/s "
                     f"moved; from float32 array moves {8 * n / from_memory / 1e9:.1f} GB/s"))
        sub = f32.view(ItemByItem)
        item = best(lambda: ZeltoMatrix(sub, 1, n), 1, 1 if n >= 10**6 else repeat)
        rows.append((n, "float32 item by item", item, None,
                     f"an ndarray subclass; from memory is {item / from_memory:.0f}x faster"))
        values = f32.tolist()
        rows.append((n, "from a.tolist()", best(lambda: ZeltoMatrix(values, 1, n), 1, repeat),
                     best(lambda: np.array(values, np.float32), 1, repeat),
                     "np.array(list, np.float32)"))
        m = ZeltoMatrix(f32, 1, n)
        rows.append((n, "np.asarray(matrix)", best(lambda: np.asarray(m), 20000, repeat),
                     best(lambda: np.asarray(f32), 20000, repeat), "np.asarray(a), a ndarray"))
    return rows


# Child process: build one input, then measure how far one construction raises the peak RSS.
PEAK_CHILD = r"""
import array, json, sys
import numpy as np
from zelto_ml import ZeltoMatrix
kind, n = sys.argv[1], int(sys.argv[2])
if kind == "array.array('d')":
    a = array.array("d", [0.0]) * n
else:
    a = np.ones(n, {"float32": np.float32, "float64": np.float64, "int64": np.int64,
                    "numpy astype(float32) of float64": np.float64}.get(kind, np.float32))
data = memoryview(a) if kind == "memoryview of float32" else a
ZeltoMatrix(np.ones(4, np.float32), 1, 4)  # the module's one-time setup before the baseline
def peak():  # this process's own high-water mark (ru_maxrss would include the parent's)
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmHWM:")) * 1024
before = peak()
if kind.startswith("numpy"):
    result = data.astype(np.float32)
else:
    result = ZeltoMatrix(data, 1, n)
print(json.dumps(peak() - before))
"""
PEAK_KINDS = ["float32", "float64", "int64", "memoryview of float32", "array.array('d')",
              "numpy astype(float32) of float64"]


def peak_rows(n):
    """(case, peak growth in bytes, result bytes) for each kind, each in a fresh process."""
    rows = []
    for kind in PEAK_KINDS:
        out = subprocess.run([sys.executable, "-c", PEAK_CHILD, kind, str(n)], check=True,
                             capture_output=True, text=True, env=unthrottled_env()).stdout
        rows.append((kind, json.loads(out.strip().splitlines()[-1]), 4 * n))
    return rows


def list_rows(n, repeat):
    """Lists and tuples in, to_list() out, and the fixed cost of a call."""
    values = [i * 0.001 for i in range(n)]
    as_tuple = tuple(values)
    matrix = ZeltoMatrix(values, 1, n)
    arr = np.array(values, dtype=np.float32)
    rows = [
        (f"build from list[{n}]", best(lambda: ZeltoMatrix(values, 1, n), 3, repeat),
         best(lambda: np.array(values, dtype=np.float32), 3, repeat), "np.array(list, float32)"),
        (f"build from tuple[{n}]", best(lambda: ZeltoMatrix(as_tuple, 1, n), 3, repeat),
         best(lambda: np.array(as_tuple, dtype=np.float32), 3, repeat),
         "np.array(tuple, float32)"),
        (f"to_list() [{n}]", best(matrix.to_list, 3, repeat), best(arr.tolist, 3, repeat),
         "ndarray.tolist()"),
    ]
    # Fixed cost of a call with one float, beside numpy's scalar call on a 0-element array.
    empty = ZeltoMatrix([], 0, 0)
    empty_array = np.zeros(0, dtype=np.float32)
    calls = 200_000
    add, np_add, shape = empty.add, empty_array.__add__, empty.shape
    rows.append(("add(1.0) on 0x0, per call", best(lambda: add(1.0), calls, repeat),
                 best(lambda: np_add(1.0), calls, repeat), "ndarray.__add__(1.0), 0 elements"))
    rows.append(("shape(), per call", best(shape, calls, repeat),
                 best(lambda: empty_array.shape, calls, repeat), "ndarray.shape"))
    return rows


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--peak-n", type=int, default=10**7)
    args = parser.parse_args()
    print(f"numpy {np.__version__}: {numpy_kernel()}")

    print(f"\n{'size':>9} {'case':30} {'zelto_ml':>11} {'numpy':>11} {'numpy/ours':>10}  numpy code")
    for n, name, ours, theirs, code in array_rows(args.repeat):
        ratio = f"{theirs / ours:9.2f}x" if theirs else ""
        numpy_us = f"{theirs * 1e6:9.2f}us" if theirs else ""
        print(f"{n:>9.0e} {name:30} {ours * 1e6:9.2f}us {numpy_us:>11} {ratio:>10}  {code}")

    print(f"\npeak resident set growth of one construction, {args.peak_n:.0e} elements "
          "(input already in memory)")
    for kind, grown, result in peak_rows(args.peak_n):
        print(f"  {kind:34} {grown / 2**20:8.1f} MiB  (result {result / 2**20:.1f} MiB)")

    print(f"\n{'operation':32} {'zelto_ml':>12} {'numpy':>12} {'numpy/ours':>11}  reference")
    for name, ours, theirs, ref in list_rows(args.n, args.repeat):
        print(f"{name:32} {ours * 1e6:10.2f}us {theirs * 1e6:10.2f}us {theirs / ours:10.2f}x  {ref}")


if __name__ == "__main__":
    main()

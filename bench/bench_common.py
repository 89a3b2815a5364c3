"""Timing and process helpers shared by the bench scripts.

The pool is sized once per process, so every pool size is timed in its own child process
(a bench script re-run with --child, or a C++ bench) that prints its results as one JSON value
on its last line.

numpy is always timed at its best: the machines' environment may set OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE, which make OpenBLAS pick a slower kernel on these CPUs, so every bench
process runs without both (unthrottled_env, reexec_unthrottled) and reports the kernel numpy
actually runs (numpy_kernel). Tests and CI keep the environment as it is.
"""
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import time


def elapsed_ms(fn):
    """Wall time of one call of fn, in milliseconds."""
    start = time.perf_counter()
    fn()
    return (time.perf_counter() - start) * 1e3


def median_ms(fn, budget_s=0.0, repeats=3, max_repeats=2000):
    """Median wall time of fn() in milliseconds after one warm-up call: at least `repeats`
    calls, and more while within about budget_s seconds (at most max_repeats)."""
    fn()
    times = []
    deadline = time.perf_counter() + budget_s
    while len(times) < repeats or (time.perf_counter() < deadline and len(times) < max_repeats):
        times.append(elapsed_ms(fn))
    return statistics.median(times)


# Variables that make OpenBLAS choose a kernel other than its best for the running CPU.
OPENBLAS_THROTTLES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def unthrottled_env(base=None):
    """A copy of the environment (or base) without the variables that slow OpenBLAS down."""
    env = dict(os.environ if base is None else base)
    for name in OPENBLAS_THROTTLES:
        env.pop(name, None)
    return env


def reexec_unthrottled():
    """Restarts this script without the OpenBLAS throttles if they are set; numpy reads them
    when it is first imported, so they cannot be dropped later in the same process."""
    if any(name in os.environ for name in OPENBLAS_THROTTLES):
        os.execve(sys.executable, [sys.executable, *sys.argv], unthrottled_env())


def numpy_kernel():
    """numpy's BLAS as threadpoolctl reports it, e.g. 'openblas 0.3.29, SkylakeX kernel,
    2 threads'; says so when threadpoolctl is missing."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "BLAS kernel unknown (threadpoolctl not installed)"
    import numpy  # noqa: F401  (loads the BLAS so that threadpoolctl can see it)

    blas = [i for i in threadpool_info() if i.get("user_api") == "blas"]
    if not blas:
        return "no BLAS found by threadpoolctl"
    return "; ".join(f"{i.get('internal_api')} {i.get('version')}, "
                     f"{i.get('architecture', '?')} kernel, {i.get('num_threads')} threads"
                     for i in blas)


def wait_for_blas_threads():
    """Waits until numpy's OpenBLAS threads stop polling. At numpy's import (and after every
    multi-threaded BLAS call) OpenBLAS's worker threads poll for work for 2^28 processor cycles,
    about 0.1 s here, each holding a processor: the module's workers timed in that window share
    the processors with them, while numpy's single-threaded element-wise code does not."""
    time.sleep(0.3)


def run_json(command, threads):
    """Runs command with a pool of `threads` workers and returns its last output line as JSON;
    the child times numpy without the OpenBLAS throttles."""
    env = dict(unthrottled_env(), RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([str(part) for part in command], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def run_child(script, threads, *args):
    """Re-runs a bench script as `script --child args...` in a fresh interpreter."""
    return run_json([sys.executable, script, "--child", *args], threads)


def cpp_bench(name):
    """Path of the C++ bench built beside the zelto_ml module, or None when it was not built."""
    spec = importlib.util.find_spec("zelto_ml")
    if spec is None or spec.origin is None:
        return None
    path = os.path.join(os.path.dirname(spec.origin), name)
    return path if os.access(path, os.X_OK) else None

"""Timing and process helpers shared by the bench scripts.

The pool is sized once per process, so every pool size is timed in its own child process
(a bench script re-run with --child, or a C++ bench) that prints its results as one JSON value
on its last line.
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


def run_json(command, threads):
    """Runs command with a pool of `threads` workers and returns its last output line as JSON."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
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

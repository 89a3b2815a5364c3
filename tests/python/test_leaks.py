"""No leaks: every entry point, successful and failing, called 10^5 times in a fresh interpreter
leaves the reference counts of the classes and of its arguments, the number of allocated Python
blocks and the resident memory as they were. Under AddressSanitizer the same calls run in a
leak-checked interpreter instead, where resident memory means nothing."""
import json
import os
import subprocess
import sys

import pytest

SANITIZED = os.environ.get("ZELTO_SANITIZER") == "address"
HERE = os.path.dirname(os.path.abspath(__file__))
SUPPRESSIONS = os.path.join(HERE, "..", "sanitizers", "lsan.supp")

LOOP = r"""
import array, gc, json, os, sys
import numpy as np
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

calls = int(sys.argv[1])
try:
    ZeltoMatrix([1.0], 2, 2)
except BaseException as caught:
    PANIC = type(caught)

# The str is made at run time: an interned "abc" is also an attribute name, whose count the
# interpreter's type attribute cache raises and lowers as lookups displace each other.
data4, data2, y2, y1, word = [1.0, 2.0, 3.0, 4.0], [0.5, 1.5], [1.0, 2.0], [1.0], "".join("abc")
val, neg, huge = 0.25, -1, 2**64
a = ZeltoMatrix(data4, 2, 2)
row = ZeltoMatrix([1.0, 2.0, 3.0], 1, 3)
no_cols, no_rows = ZeltoMatrix([], 2, 0), ZeltoMatrix([], 0, 5)
trained, fitted = ZeltoSolver(0.5, 1), ZeltoSolver(0.5, 2)
trained.fit(a, y2)
doubles, vector = array.array("d", data4), np.array(data4)[::-1]
raw, view = bytes(4), memoryview(doubles)
square, column = np.array(data4, np.float32).reshape(2, 2).T, np.array(y2)[:, None]
state, solver_state = a.__reduce__()[1][0], trained.__reduce__()[1][0]
watched = [ZeltoMatrix, ZeltoSolver, PANIC, data4, data2, y2, y1, word, val, neg, huge, a, row,
           no_cols, no_rows, trained, fitted, doubles, vector, raw, view, square, column, state,
           solver_state]

entries = {
    "ZeltoMatrix": lambda: ZeltoMatrix(data4, 2, 2),
    "ZeltoMatrix length mismatch": lambda: ZeltoMatrix(data2, 2, 2),
    "ZeltoMatrix str data": lambda: ZeltoMatrix(word, 1, 3),
    "ZeltoMatrix negative rows": lambda: ZeltoMatrix(data4, neg, 2),
    "ZeltoMatrix from memory": lambda: [ZeltoMatrix(d, 2, 2)
                                        for d in (doubles, vector, raw, view, square)],
    "ZeltoMatrix pickled": lambda: ZeltoMatrix._from_state(a.__reduce__()[1][0]),
    "ZeltoMatrix bad state": lambda: ZeltoMatrix._from_state(state[:-1]),
    "repr": lambda: (repr(a), repr(trained)),
    "numpy.asarray": lambda: np.asarray(a),
    "matmul": lambda: a.matmul(a),
    "matmul shape mismatch": lambda: a.matmul(row),
    "matmul not a matrix": lambda: a.matmul(data4),
    "matmul zero columns": lambda: a.matmul(no_cols),
    "add": lambda: a.add(val),
    "add str": lambda: a.add(word),
    "mul": lambda: a.mul(val),
    "mul huge": lambda: a.mul(10**400),
    "transpose": lambda: a.transpose(),
    "transpose no rows": lambda: no_rows.transpose(),
    "shape": lambda: a.shape(),
    "to_list": lambda: a.to_list(),
    "ZeltoSolver": lambda: ZeltoSolver(val, 3),
    "ZeltoSolver negative iters": lambda: ZeltoSolver(val, neg),
    "fit": lambda: fitted.fit(a, y2),
    "fit short y": lambda: fitted.fit(a, y1),
    "fit str y": lambda: fitted.fit(a, word),
    "fit unknown keyword": lambda: fitted.fit(a, y2, z=1),
    "fit column y": lambda: fitted.fit(a, column),
    "ZeltoSolver pickled": lambda: ZeltoSolver._from_state(trained.__reduce__()[1][0]),
    "ZeltoSolver bad state": lambda: ZeltoSolver._from_state(solver_state + b"x"),
    "properties": lambda: (trained.lr, trained.iters, trained.canonical, trained.weights,
                           trained.bias),
    "set_weights": lambda: fitted.set_weights(a, val),
    "set_weights str bias": lambda: fitted.set_weights(y2, word),
    "gradient_sums": lambda: trained.gradient_sums(a, y2),
    "gradient_sums short y": lambda: trained.gradient_sums(a, y1),
    "predict": lambda: trained.predict(a),
    "predict too wide": lambda: trained.predict(row),
    "predict_matrix": lambda: trained.predict_matrix(a),
    "run_heavy_logic": lambda: run_heavy_logic(data2, 2),
    "run_heavy_logic canonical": lambda: run_heavy_logic(square, 2, canonical=True),
    "run_heavy_logic huge iterations": lambda: run_heavy_logic(data2, huge),
    "run_heavy_logic missing argument": lambda: run_heavy_logic(data2),
}

def run(entry, times):
    for _ in range(times):
        try:
            entry()
        except (Exception, PANIC):
            pass

def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

for entry in entries.values():
    run(entry, min(calls, 2000))
# Per-entry deltas go into preallocated arrays, so the bookkeeping itself allocates no objects.
names, functions = list(entries), list(entries.values())
blocks, growth = array.array("q", [0] * len(names)), array.array("q", [0] * len(names))
gc.collect()
counts = [sys.getrefcount(obj) for obj in watched]
before = rss()
for i in range(len(functions)):
    blocks[i], growth[i] = sys.getallocatedblocks(), rss()
    run(functions[i], calls)
    gc.collect()
    blocks[i], growth[i] = sys.getallocatedblocks() - blocks[i], rss() - growth[i]
rss_growth = rss() - before
after = [sys.getrefcount(obj) for obj in watched]
print(json.dumps({
    "refcounts": [[repr(o)[:40], c, d] for o, c, d in zip(watched, counts, after) if c != d],
    "blocks": dict(zip(names, blocks)), "rss_before": before, "rss_growth": rss_growth,
    "rss_per_entry": dict(zip(names, growth)),
}))
"""


def run_loop(calls, env=None):
    proc = subprocess.run([sys.executable, "-c", LOOP, str(calls)], capture_output=True,
                          text=True, env=dict(os.environ, **(env or {})), timeout=1200)
    # Fatal errors write one report each to stderr; only the end of it matters on failure.
    assert proc.returncode == 0, proc.stderr[-6000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.skipif(SANITIZED, reason="resident memory is meaningless under AddressSanitizer")
def test_entry_points_leak_nothing_over_many_calls():
    result = run_loop(10**5)
    assert result["refcounts"] == []
    # A leak of one object per call would leave 10^5 blocks; a few dozen are caches warming up.
    assert max(result["blocks"].values()) < 10**4, result
    assert result["rss_growth"] < 1 << 20, result


@pytest.mark.skipif(not SANITIZED, reason="needs the AddressSanitizer build")
def test_entry_points_leak_nothing_under_the_leak_checker():
    options = os.environ.get("ASAN_OPTIONS", "")
    result = run_loop(2000, env={
        "ASAN_OPTIONS": options.replace("detect_leaks=0", "") + ":detect_leaks=1",
        "LSAN_OPTIONS": f"use_tls=0:suppressions={os.path.abspath(SUPPRESSIONS)}"})
    assert result["refcounts"] == []
    # A leak of one object per call would leave 2000 blocks. The interpreter's caches still grow
    # by up to a few hundred over these calls, by an amount that varies with the hash seed and
    # the allocator, and stop growing after some 10^4 calls.
    assert max(result["blocks"].values()) < 1000, result

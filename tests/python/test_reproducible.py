"""Sums that repeat: the pool's grouping is fixed for each pool size, whatever the workers do at
run time, and the canonical grouping depends on the data alone."""
import os

import numpy as np
import pytest

import float32_reference as ref
from conftest import kernel_variants, run_python
from float32_reference import bits
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

REPEATS_SNIPPET = """
import json
import numpy as np
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic
rng = np.random.default_rng(7)
x = rng.standard_normal((20_000, 16), dtype=np.float32)
y = rng.standard_normal(20_000, dtype=np.float32)
h = rng.uniform(-3, 3, 100_000).astype(np.float32)
X = ZeltoMatrix(x.ravel(), *x.shape)
models, sums = set(), set()
for _ in range(20):
    s = ZeltoSolver(0.05, 5)
    s.fit(X, y)
    models.add(json.dumps(s.predict(X)[:50]))
    sums.add(run_heavy_logic(h, 2).hex())
print(json.dumps([len(models), len(sums)]))
"""


@pytest.mark.parametrize("threads", [2, 3, 7, 64])
def test_twenty_runs_give_one_result_per_pool_size(pool_run, threads):
    assert pool_run(threads, REPEATS_SNIPPET) == [1, 1]


CANONICAL_SNIPPET = """
import json
import numpy as np
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic
rng = np.random.default_rng(11)
x = rng.standard_normal((3001, 7), dtype=np.float32)
x[5, 2], x[17, 0] = -0.0, 1e-40
y = rng.standard_normal(3001, dtype=np.float32)
s = ZeltoSolver(0.05, 4, canonical=True)
s.fit(ZeltoMatrix(x, *x.shape), y)
h = rng.uniform(-3, 3, 50_001).astype(np.float32)
print(json.dumps([np.asarray(s.weights).view(np.uint32).ravel().tolist(), s.bias.hex(),
                  run_heavy_logic(h, 2, canonical=True).hex()]))
"""


@pytest.mark.skipif("ZELTO_ISA" in os.environ, reason="runs every variant itself")
def test_canonical_results_are_the_same_for_every_pool_and_variant():
    results = {}
    for isa in kernel_variants():
        for threads in (1, 2, 3, 7, 64):
            proc = run_python(CANONICAL_SNIPPET,
                              env={"ZELTO_ISA": isa, "RAYON_NUM_THREADS": str(threads)})
            if f"ImportError: ZELTO_ISA={isa}: " in proc.stderr:
                break  # a variant this processor cannot run
            assert proc.returncode == 0, proc.stderr
            results[isa, threads] = proc.stdout.strip().splitlines()[-1]
    assert len(results) >= 5
    assert len(set(results.values())) == 1, results


def special_data(n, m, seed, non_finite):
    """Float32 rows with -0.0 and subnormals, and with non_finite also NaNs and infinities."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2, 2, (n, m)).astype(np.float32)
    y = rng.uniform(-2, 2, n).astype(np.float32)
    x.flat[::7], y[::5] = -0.0, -0.0
    x.flat[3::11] = 1e-40
    if non_finite and n >= 3:
        x[n // 2, 0], x[-1, -1], y[1] = np.inf, np.nan, -np.inf
    return x, y


@pytest.mark.parametrize("n", [0, 1, 2, 3, 5, 17, 1000])
@pytest.mark.parametrize("non_finite", [False, True])
def test_canonical_sums_are_the_documented_tree(n, non_finite):
    x, y = special_data(n, 3, n, non_finite)
    s = ZeltoSolver(0.25, 3, canonical=True)
    s.fit(ZeltoMatrix(x, n, 3), y)
    w, b = ref.fit(x, y, 0.25, 3, canonical=True)
    ref.assert_same_floats(np.asarray(s.weights), w)
    ref.assert_same_floats([s.bias], [b])
    for value in [*np.asarray(s.weights).ravel(), np.float32(s.bias)]:
        assert not np.isnan(value) or bits(value) == 0x7FC00000
    data = np.concatenate([y, x.ravel()])
    for iterations in (0, 1):
        got = run_heavy_logic(data, iterations, canonical=True)
        ref.assert_same_floats([got], [ref.heavy(data, iterations, canonical=True)])

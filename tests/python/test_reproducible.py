"""Sums that repeat: the pool's grouping is fixed for each pool size, whatever the workers do at
run time, and the canonical grouping depends on the data alone."""
import pytest

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

"""Differential tests: every operation on random shapes (zero dimensions included) and random
values (NaN, infinities, -0.0, subnormals, values beyond float32) against the exact float32
references of float32_reference, bit for bit.

The pool-independent properties run in this process and again in fresh interpreters with pools
of 1, 2 and 3 workers; fit and run_heavy_logic over several units are compared with the
division-modelling references in the one-worker run.
"""
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import float32_reference as ref
import zelto_ml
from conftest import child_env, kernel_variants, run_python
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

INNER = os.environ.get("ZELTO_DIFFERENTIAL_INNER") == "1"
# The pool size of this process: the sums are grouped by the division for it.
_SETTING = os.environ.get("RAYON_NUM_THREADS", "")
POOL = int(_SETTING) if _SETTING.isdigit() and int(_SETTING) > 0 else os.cpu_count()
EXAMPLES = settings.default.max_examples

SPECIALS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 1.0, -1.0, 1e-45, -1e-45, 7e-46,
            1.1754942e-38, 3.4028235e38, 3.4028236e38, 1e39, -1e39, 1e-50, 5e-324,
            16777217.0, 1e8, -1e8, 0.1]
any_value = st.one_of(st.floats(width=32), st.floats(), st.sampled_from(SPECIALS))
# Finite values of mixed magnitude, where the grouping of a sum shows in its last bits.
moderate = st.one_of(st.floats(-100.0, 100.0, width=32), st.integers(-5, 5).map(float))
small_dim = st.integers(0, 6)
dim = st.one_of(small_dim, small_dim, st.integers(7, 40))


def values(shape, elements=any_value):
    return hnp.arrays(np.float64, shape, elements=elements)


def make(arr):
    arr = np.asarray(arr, dtype=np.float64)
    return ZeltoMatrix(arr.ravel().tolist(), arr.shape[0], arr.shape[1])


@st.composite
def matrices(draw, rows=dim, cols=dim):
    return draw(values((draw(rows), draw(cols))))


# ---- matrix operations (independent of the pool) --------------------------------------------

@settings(max_examples=EXAMPLES, deadline=None)
@given(matrices())
def test_construction_rounds_to_float32_and_reads_back(arr):
    m = make(arr)
    assert m.shape() == arr.shape
    ref.assert_same_floats(m.to_list(), ref.f32_array(arr))


@settings(max_examples=EXAMPLES, deadline=None)
@given(matrices(), any_value)
def test_add_and_mul(arr, val):
    m = make(arr)
    for method, reference in (("add", ref.add), ("mul", ref.mul)):
        out = getattr(m, method)(val)
        assert out.shape() == arr.shape
        ref.assert_same_floats(out.to_list(), reference(arr, val))
    ref.assert_same_floats(m.to_list(), ref.f32_array(arr))


@st.composite
def matmul_operands(draw):
    r, k, n = draw(dim), draw(dim), draw(dim)
    k2 = k if draw(st.integers(0, 9)) else draw(small_dim)  # mostly matching inner dimensions
    return draw(values((r, k))), draw(values((k2, n)))


@settings(max_examples=2 * EXAMPLES, deadline=None)
@given(matmul_operands())
def test_matmul(operands):
    a, b = operands
    ma, mb = make(a), make(b)
    if a.shape[1] != b.shape[0]:
        with pytest.raises(ValueError, match="^Shape mismatch for matmul$"):
            ma.matmul(mb)
    elif b.shape[1] == 0:
        with ref.raises_panic("chunk_size must not be zero"):
            ma.matmul(mb)
    else:
        c = ma.matmul(mb)
        assert c.shape() == (a.shape[0], b.shape[1])
        ref.assert_same_floats(c.to_list(), ref.matmul(ref.f32_array(a), ref.f32_array(b)))
    ref.assert_same_floats(ma.to_list(), ref.f32_array(a))
    ref.assert_same_floats(mb.to_list(), ref.f32_array(b))


@settings(max_examples=EXAMPLES, deadline=None)
@given(matrices())
def test_transpose_moves_bits(arr):
    m = make(arr)
    if arr.shape[0] == 0:
        with ref.raises_panic("chunk_size must not be zero"):
            m.transpose()
        return
    t = m.transpose()
    assert t.shape() == (arr.shape[1], arr.shape[0])
    want = ref.transpose(ref.f32_array(arr))
    assert np.array_equal(ref.bits(t.to_list()), ref.bits(want.ravel()))
    if arr.shape[1] > 0:
        assert np.array_equal(ref.bits(t.transpose().to_list()),
                              ref.bits(ref.f32_array(arr).ravel()))


# ---- solver: one training row (a single piece whatever the pool), then predict ---------------

@st.composite
def solver_case(draw):
    m = draw(dim)
    return dict(x=draw(values((1, m))), y=draw(st.lists(any_value, max_size=2)),
                lr=draw(any_value), iters=draw(st.integers(0, 3)),
                probe=draw(matrices(rows=dim, cols=st.integers(0, m + 1))))


def check_predict(solver, probe, w, b):
    """predict(probe) against the reference, including the fatal errors of a wrong width."""
    rows, cols = probe.shape
    if cols == 0:
        with ref.raises_panic("chunk_size must not be zero"):
            solver.predict(make(probe))
    elif rows > 0 and cols > len(w):
        with ref.raises_panic(ref.out_of_bounds(len(w))):
            solver.predict(make(probe))
    else:
        ref.assert_same_floats(solver.predict(make(probe)),
                               ref.predict(ref.f32_array(probe), w, b))


@settings(max_examples=2 * EXAMPLES, deadline=None)
@given(solver_case())
def test_fit_on_one_row_then_predict(case):
    s = ZeltoSolver(case["lr"], case["iters"])
    x = ref.f32_array(case["x"])
    try:
        w, b = ref.fit(x, case["y"], case["lr"], case["iters"])
        assert s.fit(make(case["x"]), case["y"]) is None
    except IndexError as error:
        with ref.raises_panic(str(error)):
            s.fit(make(case["x"]), case["y"])
        w, b = np.zeros(0, dtype=np.float32), np.float32(0.0)  # refused: still untrained
    check_predict(s, case["probe"], w, b)


@pytest.mark.parametrize("x", [0.5, -0.5, 1.0, -3.0, 7.25, 100.0, -1e30, -0.0, math.nan,
                               math.inf, 1e39, 1e-40, 1e-45, 3.0e38])
@pytest.mark.parametrize("iterations", [0, 1, 2, 3, 5])
def test_heavy_single_element(x, iterations):
    got = run_heavy_logic([x], iterations)
    ref.assert_same_floats([got], [ref.heavy([x], iterations)])


# ---- sums over several units, grouped by the division for this process's pool ----------------

@st.composite
def fit_case(draw):
    n = draw(st.one_of(st.integers(0, 40), st.integers(41, 260)))
    m = draw(st.one_of(st.integers(1, 6), st.integers(7, 17)))
    y_len = draw(st.sampled_from([n, n, n + 2, max(n - 1, 0)]))
    elements = draw(st.sampled_from([moderate, moderate, any_value]))
    return dict(x=draw(values((n, m), elements)), y=draw(values(y_len, elements)),
                lr=draw(st.sampled_from([0.01, 0.5, -2.0, 1e-3, 0.1, math.inf, math.nan])),
                iters=draw(st.integers(0, 3)))


@settings(max_examples=2 * EXAMPLES, deadline=None)
@given(fit_case())
def test_fit_matches_the_pool_division(case):
    x = ref.f32_array(case["x"])
    y = case["y"].tolist()
    s = ZeltoSolver(case["lr"], case["iters"])
    try:
        w, b = ref.fit(x, y, case["lr"], case["iters"], threads=POOL)
        s.fit(make(case["x"]), y)
    except IndexError as error:
        with ref.raises_panic(str(error)):
            s.fit(make(case["x"]), y)
        assert (s.weights.shape(), s.bias) == ((0, 1), 0.0)  # refused: still untrained
        return
    probe = np.vstack([x, np.eye(x.shape[1], dtype=np.float32)])
    ref.assert_same_floats(s.predict(make(probe)), ref.predict(probe, w, b))


@settings(max_examples=2 * EXAMPLES, deadline=None)
@given(st.sampled_from([moderate, moderate, any_value]).flatmap(
    lambda elements: st.lists(elements, max_size=70)), st.integers(0, 2))
def test_heavy_matches_the_pool_division(data, iterations):
    ref.assert_same_floats([run_heavy_logic(data, iterations)],
                           [ref.heavy(data, iterations, threads=POOL)])


# ---- the same properties on pools of 1, 2 and 3 workers --------------------------------------

@pytest.mark.skipif(INNER, reason="already inside a pool-size run")
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_properties_hold_on_every_pool_size(threads):
    env = child_env({"RAYON_NUM_THREADS": str(threads), "ZELTO_DIFFERENTIAL_INNER": "1"})
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
                           "-x", __file__], cwd=os.path.dirname(__file__), env=env,
                          capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    if threads == 1:
        assert "one-worker pool" not in proc.stdout, proc.stdout[-2000:]


DIGEST_SNIPPET = """
import hashlib, json
import numpy as np
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic
rng = np.random.default_rng(17)
def m(r, c):
    x = rng.standard_normal((r, c)) * 10.0 ** rng.integers(-40, 40, (r, c))
    x.ravel()[::53] = np.nan
    x.ravel()[7::61] = -0.0
    return ZeltoMatrix(x.ravel().tolist(), r, c)
a, b, c, d, e = m(45, 70), m(70, 33), m(500, 9), m(67, 130), m(3001, 37)
s, wide = ZeltoSolver(0.25, 3), ZeltoSolver(0.25, 1)
s.fit(m(1, 9), [0.5])
wide.fit(m(1, 37), [0.5])
out = [a.matmul(b).to_list(), d.matmul(d.transpose()).to_list(), c.transpose().to_list(),
       c.add(1e-3).to_list(), c.mul(-7.5).to_list(), s.predict(c), wide.predict(e),
       [run_heavy_logic([0.75], 4)]]
print(json.dumps([hashlib.sha256(np.array(o, np.float32).tobytes()).hexdigest() for o in out]))
"""


@pytest.mark.skipif(INNER, reason="already inside a pool-size run")
def test_pool_independent_results_are_identical(pool_run):
    digests = [pool_run(threads, DIGEST_SNIPPET) for threads in (1, 2, 3)]
    assert digests[0] == digests[1] == digests[2]


@pytest.mark.skipif(INNER, reason="already inside a pool-size run")
def test_children_load_this_build():
    proc = subprocess.run([sys.executable, "-c", "import zelto_ml; print(zelto_ml.__file__)"],
                          cwd=os.path.dirname(__file__), env=child_env(), capture_output=True,
                          text=True, timeout=60)
    assert proc.stdout.strip() == zelto_ml.__file__, proc.stderr


@pytest.mark.skipif(INNER or "ZELTO_ISA" in os.environ, reason="runs every variant itself")
def test_every_kernel_variant_gives_the_same_bits(pool_run):
    expected = pool_run(2, DIGEST_SNIPPET)
    ran = []
    for isa in kernel_variants():
        proc = run_python(DIGEST_SNIPPET, env={"ZELTO_ISA": isa, "RAYON_NUM_THREADS": "2"})
        if f"ImportError: ZELTO_ISA={isa}: " in proc.stderr:  # cannot run here
            continue
        assert proc.returncode == 0, proc.stderr
        assert json.loads(proc.stdout.splitlines()[-1]) == expected, isa
        ran.append(isa)
    assert "baseline" in ran
    proc = run_python("import zelto_ml", env={"ZELTO_ISA": "avx3"})
    assert proc.stderr.splitlines()[-1] == (
        "ImportError: ZELTO_ISA=avx3: not a kernel variant (baseline, avx2 or avx512)")

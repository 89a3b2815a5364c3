"""ZeltoSolver fit and predict: worked examples, failures and the state they leave, exact float32
references for predict and for fit on a one-thread pool, and pool-size independence."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import float32_reference as ref
from float32_reference import F32, assert_same_floats, out_of_bounds, raises_panic
from zelto_ml import ZeltoMatrix, ZeltoSolver


def matrix(arr):
    arr = np.asarray(arr, dtype=np.float32)
    return ZeltoMatrix(arr.ravel().tolist(), arr.shape[0], arr.shape[1])


X22 = [[1.0, 2.0], [3.0, 4.0]]
# Rows reading out the bias, then bias + w_0 and bias + w_1.
PROBE = [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]]


@pytest.mark.parametrize("iters, probe, predictions", [
    (0, [0.0, 0.0, 0.0], [0.0, 0.0]),
    (1, [0.75, 2.5, 3.25], [7.5, 16.0]),
    (2, [-4.375, -14.75, -19.125], [-44.25, -94.5]),
])
def test_worked_examples(iters, probe, predictions):
    s = ZeltoSolver(0.5, iters)
    assert s.fit(matrix(X22), [1.0, 2.0]) is None
    assert s.predict(matrix(PROBE)) == probe
    assert s.predict(matrix(X22)) == predictions


@pytest.mark.parametrize("y", [[], [1.0], [1.0, 2.0, 3.0, 4.0]])
def test_no_steps_accept_any_targets(y):
    s = ZeltoSolver(0.1, 0)
    assert s.fit(matrix(np.ones((3, 4))), y) is None
    assert s.predict(matrix(np.full((2, 4), 7.0))) == [0.0, 0.0]


def test_surplus_targets_are_ignored():
    a, b = ZeltoSolver(0.5, 2), ZeltoSolver(0.5, 2)
    a.fit(matrix(X22), [1.0, 2.0])
    b.fit(matrix(X22), [1.0, 2.0, 9.0, 9.0, 9.0, 9.0, 9.0])
    assert a.predict(matrix(PROBE)) == b.predict(matrix(PROBE))


# Many rows run as many pieces; every piece from the first missing target on fails, the lowest wins.
@pytest.mark.parametrize("n, targets", [(2, 1), (5, 4), (1000, 999), (1000, 400), (3, 0)])
def test_short_targets_fail_and_leave_zero_weights(n, targets):
    s = ZeltoSolver(0.5, 3)
    s.fit(matrix(X22), [1.0, 2.0])
    x = matrix(np.ones((n, 3)))
    with raises_panic(out_of_bounds(targets)):
        s.fit(x, [1.0] * targets)
    assert s.predict(x) == [0.0] * n


def test_matrix_without_rows_gives_nan_parameters():
    s = ZeltoSolver(0.5, 1)
    s.fit(ZeltoMatrix([], 0, 3), [1.0])
    assert all(math.isnan(p) for p in s.predict(matrix([[1.0, 2.0, 3.0], [0.0, 0.0, 0.0]])))


def test_refit_replaces_the_weights_with_the_new_width():
    s = ZeltoSolver(0.5, 1)
    s.fit(matrix(np.ones((2, 3))), [1.0, 2.0])
    s.fit(matrix(X22), [1.0, 2.0])
    assert s.predict(matrix(X22)) == [7.5, 16.0]
    with raises_panic(out_of_bounds(2)):
        s.predict(matrix(np.ones((1, 3))))


def test_infinite_learning_rate_is_accepted():
    s = ZeltoSolver(1e40, 1)
    s.fit(matrix(X22), [1.0, 2.0])
    assert s.predict(matrix([[1.0, 1.0]])) == [math.inf]  # +inf bias and weights


@pytest.mark.parametrize("trained_cols, shape, message", [
    (None, (1, 1), out_of_bounds(0)),
    (3, (4, 4), out_of_bounds(3)),
    (3, (700, 4), out_of_bounds(3)),
    (None, (0, 0), "chunk_size must not be zero"),
    (None, (3, 0), "chunk_size must not be zero"),
    (0, (0, 0), "chunk_size must not be zero"),
])
def test_predict_fatal_errors(trained_cols, shape, message):
    s = ZeltoSolver(0.5, 1)
    if trained_cols is not None:
        s.fit(matrix(np.ones((1, trained_cols))), [1.0])
    with raises_panic(message):
        s.predict(matrix(np.zeros(shape)))


def test_predict_uses_the_leading_weights_and_accepts_no_rows():
    s = ZeltoSolver(0.5, 1)
    s.fit(matrix([[1.0, 2.0, 4.0]]), [2.0])  # weights [1, 2, 4], bias 1
    assert s.predict(matrix([[1.0, 1.0], [0.5, -1.0]])) == [4.0, -0.5]
    assert s.predict(ZeltoMatrix([], 0, 4)) == []
    assert ZeltoSolver(0.1, 1).predict(ZeltoMatrix([], 0, 4)) == []


# ---- re-entrancy and borrows ----------------------------------------------------------------

class CallsBack:
    """A target whose conversion calls back into the solver being trained."""

    def __init__(self, call, seen):
        self.call, self.seen = call, seen

    def __float__(self):
        try:
            self.call()
            self.seen.append("no error")
        except RuntimeError as error:
            self.seen.append(str(error))
        return 1.0


@pytest.mark.parametrize("method, message", [
    ("fit", "Already borrowed"),
    ("predict", "Already mutably borrowed"),
])
def test_reentrant_use_during_fit_is_refused(method, message):
    s, x = ZeltoSolver(0.5, 1), matrix(X22)
    seen = []
    inner = (lambda: s.fit(x, [1.0, 2.0])) if method == "fit" else (lambda: s.predict(x))
    s.fit(x, [CallsBack(inner, seen), 2.0])
    assert seen == [message]
    assert s.predict(x) == [7.5, 16.0]


@pytest.mark.parametrize("bad_call", [
    lambda s: s.fit(matrix(np.ones((4, 2))), [1.0]),
    lambda s: s.fit(matrix(X22), [1.0, "two"]),
    lambda s: s.fit([1.0], [1.0]),
    lambda s: s.predict(matrix(np.ones((2, 5)))),
    lambda s: s.predict(ZeltoMatrix([], 2, 0)),
])
def test_solver_stays_usable_after_a_failure(bad_call):
    s = ZeltoSolver(0.5, 1)
    with pytest.raises(BaseException):
        bad_call(s)
    s.fit(matrix(X22), [1.0, 2.0])
    assert s.predict(matrix(X22)) == [7.5, 16.0]


# ---- predict against an exact float32 reference --------------------------------------------

finite32 = st.floats(width=32, allow_nan=False, allow_infinity=False)
any32 = st.floats(width=32)


@st.composite
def trained_case(draw):
    """Weights and bias made exact whatever the pool's division: one step on a diagonal matrix
    with integer targets gives g_j = -y_j * d_j (a single product) and an integer bias sum."""
    m = draw(st.integers(1, 20))
    d = np.array(draw(st.lists(finite32, min_size=m, max_size=m)), dtype=np.float32)
    y = np.array(draw(st.lists(st.integers(-3, 3), min_size=m, max_size=m)), dtype=np.float32)
    lr = F32(draw(st.sampled_from([0.5, 0.1, -3.0, 1e-3, 7.0])))
    rows = draw(st.integers(0, 40))
    x = np.array(draw(st.lists(any32, min_size=rows * m, max_size=rows * m)), dtype=np.float32)
    return d, y, lr, x.reshape(rows, m)


@settings(max_examples=150, deadline=None)
@given(trained_case())
def test_predict_matches_the_float32_recurrence(case):
    d, y, lr, x = case
    m = len(d)
    s = ZeltoSolver(float(lr), 1)
    s.fit(matrix(np.diag(d)), y.tolist())
    n_f = F32(m)
    with np.errstate(all="ignore"):
        w = [F32(0.0) - (((-y[j] * d[j]) / n_f) * lr) for j in range(m)]
        b = F32(0.0) - ((F32(-y.sum()) / n_f) * lr)
    assert_same_floats(s.predict(matrix(x) if len(x) else ZeltoMatrix([], 0, m)),
                       ref.predict(x, w, b))


# ---- fit on a one-thread pool against a model of its division -------------------------------

FIT_SNIPPET = """
import json
import numpy as np
from zelto_ml import ZeltoMatrix, ZeltoSolver
x = np.array({x}, dtype=np.float32)
s = ZeltoSolver({lr}, {iters})
s.fit(ZeltoMatrix(x.ravel().tolist(), *x.shape), {y})
probe = np.vstack([np.zeros((1, x.shape[1])), np.eye(x.shape[1]), x]).astype(np.float32)
print(json.dumps(s.predict(ZeltoMatrix(probe.ravel().tolist(), *probe.shape))))
"""


@pytest.mark.parametrize("n, m", [(1, 3), (2, 1), (7, 5), (100, 3), (259, 17)])
def test_fit_on_one_thread_matches_the_grouped_reference(pool_run, n, m):
    rng = np.random.default_rng(n * 100 + m)
    x = (rng.standard_normal((n, m)) * 10.0 ** rng.integers(-3, 4, (n, m))).astype(np.float32)
    y = rng.standard_normal(n).astype(np.float32) * F32(100.0)
    lr, iters = F32(0.01), 3
    got = pool_run(1, FIT_SNIPPET.format(x=x.tolist(), lr=float(lr), iters=iters, y=y.tolist()))
    w, b = ref.fit(x, y, lr, iters)
    probe = np.vstack([np.zeros((1, m)), np.eye(m), x]).astype(np.float32)
    assert_same_floats(got, ref.predict(probe, w, b))


PREDICT_SNIPPET = """
import hashlib, json
import numpy as np
from zelto_ml import ZeltoMatrix, ZeltoSolver
rng = np.random.default_rng(3)
m = 37
d = rng.standard_normal(m).astype(np.float32)
s = ZeltoSolver(0.25, 1)
s.fit(ZeltoMatrix(np.diag(d).ravel().tolist(), m, m), rng.integers(-3, 4, m).astype(float).tolist())
x = rng.standard_normal((3001, m)).astype(np.float32) * np.float32(1e3) ** rng.integers(-2, 3, (3001, m))
x.ravel()[::101] = np.nan
p = s.predict(ZeltoMatrix(x.ravel().tolist(), 3001, m))
print(json.dumps(hashlib.sha256(np.array(p, np.float32).tobytes()).hexdigest()))
"""


def test_predict_does_not_depend_on_the_pool_size(pool_run):
    results = [pool_run(threads, PREDICT_SNIPPET) for threads in (1, 2, 3)]
    assert results[0] == results[1] == results[2]

"""ZeltoSolver fit and predict: worked examples, failures and the state they leave."""
import math

import numpy as np
import pytest

from float32_reference import out_of_bounds, raises_panic
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
@pytest.mark.parametrize("n, targets", [(2, 1), (5, 4), (1000, 999), (1000, 400), (3, 0), (10000, 0)])
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

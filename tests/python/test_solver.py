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


# A fit that would read past the end of y is refused before the solver changes: the trained
# model survives, whatever X (a wider one, an array).
@pytest.mark.parametrize("n, targets", [(2, 1), (5, 4), (1000, 999), (1000, 400), (3, 0), (10000, 0)])
def test_short_targets_are_refused_and_keep_the_model(n, targets):
    s = ZeltoSolver(0.5, 3)
    s.fit(matrix(X22), [1.0, 2.0])
    before = (s.weights.to_list(), s.bias)
    for x in (matrix(np.ones((n, 3))), np.ones((n, 2))):
        with raises_panic(out_of_bounds(targets)):
            s.fit(x, [1.0] * targets)
        assert (s.weights.to_list(), s.bias) == before


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


def nan_with(payload, sign=0):
    return float(np.uint32(0x7FC00000 | sign | payload).view(np.float32))


@pytest.mark.parametrize("k", [1, 7, 8, 9, 16, 17, 40])
def test_nan_results_are_the_canonical_nan(k):
    """Whichever operands carry NaNs with which payloads, every NaN that fit and predict compute
    is 0x7fc00000, on every kernel variant and at every position in a row or block."""
    x = np.full((19, k), 0.5, dtype=np.float32)
    x[3, 0] = nan_with(0xAAAA)
    x[3, -1] = nan_with(0xBBBB, 0x80000000)
    x[18, k // 2] = nan_with(0x1234)
    y = np.ones(19, dtype=np.float32)
    y[0], y[-1] = nan_with(0x5555), nan_with(0x6666, 0x80000000)
    s = ZeltoSolver(0.1, 2)
    s.fit(matrix(x), y.tolist())
    probe = np.vstack([x, np.ones((1, k), np.float32)])
    out = np.float32(s.predict(matrix(probe)))
    assert np.isnan(out).all()
    assert set(out.view(np.uint32).tolist()) == {0x7FC00000}
    clean = ZeltoSolver(0.1, 0)
    clean.fit(matrix(np.zeros((1, k))), [0.0])
    out = np.float32(clean.predict(matrix(x)))
    nan = np.isnan(out)
    assert nan[[3, 18]].all() and nan.sum() == 2
    assert set(out[nan].view(np.uint32).tolist()) == {0x7FC00000}


def test_model_access_and_predictions_as_a_matrix():
    s = ZeltoSolver(0.5, 1, canonical=True)
    assert (s.lr, s.iters, s.canonical, s.bias, s.weights.shape()) == (0.5, 1, True, 0.0, (0, 1))
    assert repr(s) == "ZeltoSolver(lr=0.5, iters=1, canonical=True, weights=0)"
    s.fit(matrix(X22), np.array([[1.0], [2.0]]))
    assert s.weights.shape() == (2, 1) and s.weights.to_list() == [1.75, 2.5] and s.bias == 0.75
    assert repr(s) == "ZeltoSolver(lr=0.5, iters=1, canonical=True, weights=2)"
    # lr as the shortest decimal of its float32, though the property widens it exactly.
    assert repr(ZeltoSolver(0.1, 2**64 - 1)) == (
        "ZeltoSolver(lr=0.1, iters=18446744073709551615, canonical=False, weights=0)")
    assert ZeltoSolver(0.1, 1).lr == 0.10000000149011612
    lrs = [repr(ZeltoSolver(lr, 1)).split(",")[0][len("ZeltoSolver(lr="):]
           for lr in (1e5, -0.0, 1e-45, 1e40, math.nan)]
    assert lrs == ["100000.0", "-0.0", "1e-45", "inf", "nan"]
    for name in ("lr", "iters", "canonical", "weights", "bias"):
        with pytest.raises(AttributeError):
            setattr(s, name, getattr(s, name))
    x = matrix(np.random.default_rng(5).standard_normal((3001, 2)))
    predicted = s.predict_matrix(x)
    assert predicted.shape() == (3001, 1) and np.asarray(predicted).ravel().tolist() == s.predict(x)
    assert s.predict_matrix(ZeltoMatrix([], 0, 2)).shape() == (0, 1)
    with raises_panic("chunk_size must not be zero"):
        s.predict_matrix(ZeltoMatrix([], 2, 0))


def test_set_weights_installs_what_predict_uses():
    s = ZeltoSolver(0.5, 1)
    s.set_weights(ZeltoMatrix([1.0, 2.0, 4.0, 8.0], 2, 2), -0.0)
    assert s.predict(matrix([[1.0, 1.0, 1.0, 1.0]])) == [15.0]
    assert math.copysign(1.0, s.bias) == -1.0
    s.set_weights(range(3), 1e40)
    assert (s.weights.to_list(), s.bias) == ([0.0, 1.0, 2.0], math.inf)
    s.set_weights([], 0.5)
    assert s.predict(ZeltoMatrix([], 3, 0).transpose()) == []
    with pytest.raises(TypeError):
        s.set_weights([1.0, "x"], 0.0)
    assert (s.weights.to_list(), s.bias) == ([], 0.5)  # a failed call changes nothing


@pytest.mark.parametrize("weights, x, y, message", [
    ([1.0, 2.0], np.ones((2, 3)), [1.0, 2.0], "X has 3 columns but the solver has 2 weights"),
    ([], np.ones((1, 1)), [1.0], "X has 1 columns but the solver has 0 weights"),
    ([1.0], np.ones((3, 1)), [1.0, 2.0], "y has 2 targets but X has 3 rows"),
])
def test_gradient_sums_checks_before_any_work(weights, x, y, message):
    s = ZeltoSolver(0.5, 1)
    s.set_weights(weights, 0.0)
    with pytest.raises(ValueError) as info:
        s.gradient_sums(matrix(x), y)
    assert str(info.value) == message


def driver_sums(solver, x, y, lo, hi, depth):
    """The gradient sums of rows lo..hi-1 as a driver holding the top `depth` levels of the halving
    tree makes them: the module's sums of each node at that depth, combined as (left + right)."""
    if depth == 0 or hi - lo < 2:
        g, g_b = solver.gradient_sums(matrix(x[lo:hi]), y[lo:hi])
        return np.asarray(g).ravel(), np.float32(g_b)
    mid = lo + (hi - lo) // 2
    (g_left, b_left), (g_right, b_right) = (driver_sums(solver, x, y, lo, mid, depth - 1),
                                            driver_sums(solver, x, y, mid, hi, depth - 1))
    return g_left + g_right, b_left + b_right


@pytest.mark.parametrize("n", [1, 2, 3, 5, 17, 1000])
@pytest.mark.parametrize("depth", [0, 1, 3])
def test_driver_over_row_ranges_equals_the_canonical_fit(n, depth):
    rng = np.random.default_rng(n)
    x = rng.standard_normal((n, 3)).astype(np.float32)
    x[0, 0] = -0.0
    y = rng.standard_normal(n).astype(np.float32)
    lr, iters = np.float32(0.05), 4
    driver = ZeltoSolver(float(lr), 0)
    driver.set_weights(np.zeros(3, np.float32), 0.0)
    for _ in range(iters):
        g, g_b = driver_sums(driver, x, y, 0, n, depth)
        w, b = np.asarray(driver.weights).ravel(), np.float32(driver.bias)
        n_f = np.float32(n)
        driver.set_weights(w - (g / n_f) * lr, b - (g_b / n_f) * lr)
    fitted = ZeltoSolver(float(lr), iters, canonical=True)
    fitted.fit(matrix(x), y)
    assert np.asarray(driver.weights).tobytes() == np.asarray(fitted.weights).tobytes()
    assert np.float32(driver.bias).tobytes() == np.float32(fitted.bias).tobytes()

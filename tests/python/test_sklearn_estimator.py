"""The scikit-learn regressor: scikit-learn's own estimator checks, its place in pipelines,
cross-validation, grid search and pickles, scikit-learn's validation messages, and the same bits as
the low-level solver."""
import os
import pickle
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402
from sklearn.datasets import make_regression  # noqa: E402
from sklearn.exceptions import ConvergenceWarning  # noqa: E402
from sklearn.linear_model import LinearRegression  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from conftest import child_env, run_python  # noqa: E402
from zelto_ml import ZeltoMatrix, ZeltoSolver  # noqa: E402
from zelto_ml_extras.sklearn import ZeltoRegressor  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


# Every check passes, so none is listed as an expected failure. Several fit X of mean 100
# without scaling it, where gradient descent at the default learning rate diverges (and says
# so): they test the interface, which NaN weights still show.
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@parametrize_with_checks([ZeltoRegressor()])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


def data(n=300, m=5, seed=0):
    x, y = make_regression(n_samples=n, n_features=m, noise=5.0, bias=3.0, random_state=seed)
    return x, y


def test_fit_and_predict_are_the_low_level_solver_canonical_bits():
    """From float64, a DataFrame or lists, the model is ZeltoSolver(canonical=True)'s on the
    data rounded to float32, and predictions are predict_matrix's values."""
    pandas = pytest.importorskip("pandas")
    x, y = data(n=1001, m=7, seed=3)
    x32, y32 = x.astype(np.float32), y.astype(np.float32)
    solver = ZeltoSolver(0.05, 40, canonical=True)
    solver.fit(ZeltoMatrix(x32, *x32.shape), y32)
    expected = np.asarray(solver.predict_matrix(ZeltoMatrix(x32, *x32.shape))).ravel()
    for x_in, y_in in [(x, y), (x32, y32), (pandas.DataFrame(x), pandas.Series(y)),
                       (x32.tolist(), y32.tolist()), (np.asfortranarray(x), y.reshape(-1, 1))]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # y of shape (n, 1) is flattened
            est = ZeltoRegressor(learning_rate=0.05, max_iter=40).fit(x_in, y_in)
        assert est.coef_.dtype == np.float32 and est.coef_.shape == (7,)
        assert est.coef_.tobytes() == np.asarray(solver.weights).tobytes()
        assert est.intercept_.tobytes() == np.float32(solver.bias).tobytes()
        predicted = est.predict(x_in)
        assert predicted.dtype == np.float32 and predicted.flags.writeable
        assert predicted.tobytes() == expected.tobytes()
        assert est.n_iter_ == 40


@pytest.mark.parametrize("x, y, message", [
    (np.ones((3, 2)), np.ones(4),
     "Found input variables with inconsistent numbers of samples: [3, 4]"),
    (np.ones(3), np.ones(3),
     "Expected 2D array, got 1D array instead:\narray=[1. 1. 1.].\nReshape your data either using "
     "array.reshape(-1, 1) if your data has a single feature or array.reshape(1, -1) if it "
     "contains a single sample."),
    ([[np.nan, 1.0], [2.0, 3.0]], [1.0, 2.0], "Input X contains NaN.\n"),
    # Values beyond float32's range are refused after the conversion, not trained on as inf.
    (np.array([[1e39, 1.0], [2.0, 3.0]]), [1.0, 2.0],
     "Input X contains infinity or a value too large for dtype('float32')."),
    ([[1.0], [2.0]], [1e39, 1.0],
     "Input y contains infinity or a value too large for dtype('float32')."),
])
def test_invalid_data_raises_scikit_learns_messages(x, y, message):
    with pytest.raises(ValueError) as ours:
        ZeltoRegressor().fit(x, y)
    if message.endswith("NaN.\n"):
        # The advice after the first line is scikit-learn's own, revised between its releases.
        with pytest.raises(ValueError) as theirs:
            LinearRegression().fit(x, y)
        assert str(ours.value).startswith(message)
        assert str(ours.value) == str(theirs.value).replace("LinearRegression", "ZeltoRegressor")
    else:
        assert str(ours.value) == message


@pytest.mark.parametrize("params, message", [
    ({"learning_rate": 0.0}, "learning_rate == 0.0, must be > 0.0."),
    ({"learning_rate": float("nan")}, "learning_rate == nan, must be finite."),
    ({"max_iter": 0}, "max_iter == 0, must be >= 1."),
])
def test_invalid_parameters_raise_when_fitting(params, message):
    est = ZeltoRegressor(**params)
    with pytest.raises(ValueError) as info:
        est.fit(*data())
    assert str(info.value) == message


def test_divergence_warns():
    x, y = data()
    with pytest.warns(ConvergenceWarning) as record:
        est = ZeltoRegressor(learning_rate=5.0, max_iter=200).fit(x * 10.0, y)
    assert str(record[0].message) == (
        "ZeltoRegressor diverged: the weights are not finite after 200 steps with "
        "learning_rate=5.0. Standardise the features (StandardScaler) or lower learning_rate.")
    assert not np.isfinite(est.coef_).all()


def test_pipeline_cross_validation_grid_search_clone_and_pickle():
    x, y = data()
    pipe = make_pipeline(StandardScaler(), ZeltoRegressor())
    ours = cross_val_score(pipe, x, y, cv=3)
    np.testing.assert_allclose(ours, cross_val_score(LinearRegression(), x, y, cv=3), rtol=1e-4)

    grid = {"zeltoregressor__learning_rate": [0.01, 0.1], "zeltoregressor__max_iter": [5, 300]}
    search = GridSearchCV(pipe, grid, cv=3, n_jobs=2).fit(x, y)
    assert search.best_params_ == {"zeltoregressor__learning_rate": 0.1,
                                   "zeltoregressor__max_iter": 300}
    # The worker processes scored the same models this process fits.
    sequential = GridSearchCV(pipe, grid, cv=3, n_jobs=1).fit(x, y)
    assert search.cv_results_["mean_test_score"].tolist() == \
        sequential.cv_results_["mean_test_score"].tolist()

    fitted = search.best_estimator_
    fresh = clone(fitted)
    assert fresh.get_params()["zeltoregressor__max_iter"] == 300
    assert not hasattr(fresh[-1], "coef_")
    expected = fitted.predict(x).tobytes()
    assert fresh.fit(x, y).predict(x).tobytes() == expected
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        assert pickle.loads(pickle.dumps(fitted, protocol)).predict(x).tobytes() == expected


def test_importing_the_package_does_not_import_scikit_learn():
    proc = run_python("""
        import sys
        import zelto_ml, zelto_ml_extras
        print(sorted(m for m in sys.modules if m.split(".")[0] == "sklearn"))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"


@pytest.mark.skipif(bool(os.environ.get("ZELTO_SANITIZER")), reason="checked in the plain run")
def test_example_compares_the_three_estimators():
    proc = subprocess.run([sys.executable, str(EXAMPLES / "sklearn_regressor.py"),
                           "--rows", "5000"], capture_output=True, text=True, timeout=300,
                          env=child_env())
    assert proc.returncode == 0, proc.stderr
    r2 = {line[:30].strip(): float(line.split()[-1]) for line in proc.stdout.splitlines()
          if line.startswith(("Zelto", "Linear", "SGD"))}
    assert len(r2) == 4  # the synthetic rows come last and overwrite the diabetes ones
    assert r2["ZeltoRegressor()"] == pytest.approx(r2["LinearRegression()"], abs=1e-4)

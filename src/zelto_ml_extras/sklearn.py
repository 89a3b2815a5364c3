"""A scikit-learn regressor on zelto_ml's ``ZeltoSolver``: the same float32 model, bit for bit on
every machine and pool size, inside pipelines, cross-validation and grid search.

Needs scikit-learn (``pip install 'zelto_ml[sklearn]'``); importing ``zelto_ml`` or
``zelto_ml_extras`` alone never imports it.
"""
from __future__ import annotations

import math
import numbers
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    from sklearn.base import BaseEstimator, RegressorMixin
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.utils import assert_all_finite, check_scalar
    from sklearn.utils.validation import check_is_fitted
except ImportError as error:
    raise ImportError("zelto_ml_extras.sklearn needs scikit-learn: "
                      "pip install 'zelto_ml[sklearn]'") from error

try:
    from sklearn.utils.validation import validate_data
except ImportError:  # scikit-learn before 1.6 validates through a method of BaseEstimator

    def validate_data(_estimator: Any, /, X: Any = "no_validation", y: Any = "no_validation",
                      **check_params: Any) -> Any:
        """scikit-learn 1.6's validate_data on the estimator method that preceded it, whose
        ensure_all_finite was called force_all_finite."""
        check_params["force_all_finite"] = check_params.pop("ensure_all_finite", True)
        return _estimator._validate_data(X, y, **check_params)

from zelto_ml import ZeltoMatrix, ZeltoSolver

__all__ = ["ZeltoRegressor"]

# The dtypes the native matrix reads from memory as they are; check_array converts others to
# the first.
_FLOATS = (np.float32, np.float64)


class ZeltoRegressor(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Linear regression trained by full-batch gradient descent in float32, reproducible bit for
    bit on every machine, pool size and instruction set.

    The model is ``prediction = intercept_ + X @ coef_``. Training starts from zero weights and
    zero intercept and takes exactly ``max_iter`` steps of ``zelto_ml.ZeltoSolver`` with the
    canonical grouping of the gradient sums (``canonical=True``): each step computes the error
    ``e = prediction - y`` of every row, then ``w[j] -= (sum(e * X[:, j]) / n) * learning_rate``
    and ``intercept -= (sum(e) / n) * learning_rate``, every operation in float32, the sums grouped
    by halving the rows, so the fitted model depends on nothing but the data and the parameters.
    Fitting twice on the same data gives the same bits.

    X is converted to float32 once, as it is copied into the native matrix (float32 and float64
    arrays are read as they are, other types go through ``check_array``'s float32 conversion);
    then NaN and infinity are refused with scikit-learn's messages, values beyond float32's range
    included, which have become infinite. y is rounded to float32 and checked the same way.
    Predictions are float32.

    Gradient descent needs features on comparable scales: put ``StandardScaler`` before this
    estimator (``make_pipeline(StandardScaler(), ZeltoRegressor())``). The defaults suit
    standardised features. On such data a step is stable while ``learning_rate`` is below
    ``2 / lambda``, with lambda the largest eigenvalue of the features' correlation matrix:
    around 1 for unrelated features, at most the number of features when all move together. A
    direction of the data with eigenvalue mu converges like ``(1 - learning_rate * mu) **
    max_iter``, so strongly correlated features need more steps. When the weights become
    infinite or NaN, ``fit`` warns with ``ConvergenceWarning``.

    Parameters
    ----------
    learning_rate : float, default=0.1
        The step size, rounded to float32; finite and greater than 0.
    max_iter : int, default=1000
        The number of gradient steps of every fit (at least 1). There is no early stopping.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features_in_,), float32
        The weights.
    intercept_ : numpy.float32
        The bias.
    n_iter_ : int
        The number of steps taken: ``max_iter``.
    n_features_in_ : int
        The number of features seen during ``fit``.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        The feature names seen during ``fit``, when X had string column names.

    Sample weights, sparse matrices, missing values and several targets are not supported.
    """

    def __init__(self, learning_rate: float = 0.1, max_iter: int = 1000) -> None:
        self.learning_rate = learning_rate
        self.max_iter = max_iter

    def fit(self, X: Any, y: Any) -> "ZeltoRegressor":
        """Trains from zero on the rows of X (n_samples, n_features) against the targets y
        (n_samples,); returns self."""
        check_scalar(self.learning_rate, "learning_rate", numbers.Real, min_val=0.0,
                     include_boundaries="neither")
        if not math.isfinite(self.learning_rate):
            raise ValueError(f"learning_rate == {self.learning_rate}, must be finite.")
        check_scalar(self.max_iter, "max_iter", numbers.Integral, min_val=1)
        X, y = validate_data(self, X, y, dtype=_FLOATS, ensure_all_finite=False, y_numeric=True)
        matrix = self._matrix(X)
        with np.errstate(over="ignore"):  # a target beyond float32's range is refused below
            targets = np.asarray(y, dtype=np.float32)
        assert_all_finite(targets, input_name="y")
        solver = ZeltoSolver(self.learning_rate, self.max_iter, canonical=True)
        solver.fit(matrix, targets)
        self.coef_: npt.NDArray[np.float32] = np.array(solver.weights).reshape(-1)
        self.intercept_ = np.float32(solver.bias)
        self.n_iter_ = int(self.max_iter)
        if not (np.isfinite(self.coef_).all() and np.isfinite(self.intercept_)):
            warnings.warn(
                f"{type(self).__name__} diverged: the weights are not finite after "
                f"{self.max_iter} steps with learning_rate={self.learning_rate}. Standardise the "
                "features (StandardScaler) or lower learning_rate.", ConvergenceWarning,
                stacklevel=2)
        return self

    def predict(self, X: Any) -> npt.NDArray[np.float32]:
        """The float32 prediction of every row of X, as an array of shape (n_samples,)."""
        check_is_fitted(self)
        X = validate_data(self, X, dtype=_FLOATS, ensure_all_finite=False, reset=False)
        matrix = self._matrix(X)
        solver = ZeltoSolver(0.0, 0)  # a holder of the fitted weights, which it never trains
        solver.set_weights(np.asarray(self.coef_, dtype=np.float32), float(self.intercept_))
        return np.array(solver.predict_matrix(matrix)).reshape(-1)

    def _matrix(self, x: npt.NDArray[np.floating[Any]]) -> ZeltoMatrix:
        """The rows of a validated 2-D array as a float32 matrix, read from memory in one pass;
        ValueError when one is NaN or infinite in float32."""
        matrix = ZeltoMatrix(x, x.shape[0], x.shape[1])
        assert_all_finite(np.asarray(matrix), estimator_name=type(self).__name__, input_name="X")
        return matrix

    def __sklearn_tags__(self) -> Any:
        """Declares what fit accepts: dense finite numbers and one target per sample."""
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = False
        tags.input_tags.allow_nan = False
        tags.target_tags.single_output = True
        tags.target_tags.multi_output = False
        return tags

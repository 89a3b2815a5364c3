"""ZeltoRegressor beside scikit-learn's LinearRegression and SGDRegressor: fit time, predict time
and R2 on held-out rows, on the diabetes data set shipped with scikit-learn (in a pipeline after
StandardScaler) and on a synthetic regression of 10^6 training rows and 32 standard normal
features.

    .venv/bin/python -m pip install scikit-learn   # the zelto_ml[sklearn] extra
    .venv/bin/python examples/sklearn_regressor.py [--rows N] [--repeats N]

Times are the best of --repeats runs. Nothing is downloaded.
"""
import argparse
import os
import time
from typing import Any, Callable, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt
from sklearn.datasets import load_diabetes, make_regression
from sklearn.linear_model import LinearRegression, SGDRegressor
from sklearn.metrics import r2_score
from sklearn.model_selection import train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from threadpoolctl import threadpool_info

from zelto_ml_extras.sklearn import ZeltoRegressor

Floats = npt.NDArray[np.float64]
Split = Tuple[Floats, Floats, Floats, Floats]


def candidates() -> List[Tuple[str, Any]]:
    """The estimators compared, each under the name the tables print."""
    return [("ZeltoRegressor()", ZeltoRegressor()),
            ("ZeltoRegressor(max_iter=100)", ZeltoRegressor(max_iter=100)),
            ("LinearRegression()", LinearRegression()),
            ("SGDRegressor(random_state=0)", SGDRegressor(random_state=0))]


def best_seconds(fn: Callable[[], object], repeats: int) -> float:
    """The shortest of `repeats` timed calls of fn. Each starts after a pause in which the
    BLAS threads of the previous call stop spinning on the processors."""
    best = float("inf")
    for _ in range(repeats):
        time.sleep(0.3)
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def compare(title: str, data: Split, scaled: bool, repeats: int) -> None:
    """Prints fit time, predict time and held-out R2 of every candidate on one split."""
    x_train, x_test, y_train, y_test = data
    print(f"\n{title}: {len(x_train):,} training rows, {len(x_test):,} held-out rows, "
          f"{x_train.shape[1]} features")
    print(f"{'estimator':<30} {'fit s':>9} {'predict s':>10} {'R2 held-out':>12}")
    for name, estimator in candidates():
        model = estimator if scaled else make_pipeline(StandardScaler(), estimator)
        fit_s = best_seconds(lambda: model.fit(x_train, y_train), repeats)
        predict_s = best_seconds(lambda: model.predict(x_test), repeats)
        r2 = r2_score(y_test, model.predict(x_test))
        print(f"{name:<30} {fit_s:>9.4f} {predict_s:>10.5f} {r2:>12.6f}")


def diabetes() -> Split:
    """The 442 patients of scikit-learn's bundled diabetes data, 20% held out."""
    x, y = load_diabetes(return_X_y=True)
    parts: Split = tuple(train_test_split(x, y, test_size=0.2, random_state=0))
    return parts


def synthetic(rows: int) -> Split:
    """`rows` training rows and rows / 5 held-out rows of 32 standard normal features, all
    informative, with noise."""
    x, y = make_regression(n_samples=rows + rows // 5, n_features=32, n_informative=32,
                           noise=100.0, bias=10.0, random_state=0)
    return x[:rows], x[rows:], y[:rows], y[rows:]


def blas_kernels() -> str:
    """The BLAS libraries loaded (numpy's, and scipy's, which LinearRegression's least squares
    runs on) with the kernel each chose for this processor, as threadpoolctl reports them."""
    return "; ".join(f"{os.path.basename(os.path.dirname(i['filepath'])).split('.')[0]}'s "
                     f"{i['internal_api']} {i['version']} ({i.get('architecture', '?')} kernel, "
                     f"{i['num_threads']} threads)"
                     for i in threadpool_info() if i["user_api"] == "blas")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000, help="synthetic training rows")
    parser.add_argument("--repeats", type=int, default=1, help="timed runs per figure")
    args = parser.parse_args(argv)
    print(f"BLAS: {blas_kernels()}")
    compare("diabetes, StandardScaler then the estimator", diabetes(), False, args.repeats)
    compare("synthetic, standard normal features as they are", synthetic(args.rows), True,
            args.repeats)


if __name__ == "__main__":
    main()

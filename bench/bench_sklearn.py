"""Times ZeltoRegressor beside scikit-learn's LinearRegression and SGDRegressor: the comparison
of examples/sklearn_regressor.py (fit, predict, held-out R2 on diabetes and on 10^6 x 32
synthetic rows), run without the OpenBLAS throttles, on the processor it names.

    PYTHONPATH=$PWD/build/<dir>:$PWD/src flock /tmp/zelto-bench.lock \
        .venv/bin/python bench/bench_sklearn.py [--rows N] [--repeats N]

bench/sklearn.md keeps the figures of the last run and how to read them.
"""
import os
import platform
import sys

from bench_common import reexec_unthrottled


def processor():
    """The processor's model name and family, from /proc/cpuinfo where there is one."""
    try:
        with open("/proc/cpuinfo") as info:
            fields = dict(map(str.strip, line.split(":", 1)) for line in info if ":" in line)
    except OSError:
        return platform.processor() or "unknown processor"
    return f"{fields.get('model name', '?')}, family {fields.get('cpu family', '?')}"


if __name__ == "__main__":
    reexec_unthrottled()
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
    import sklearn_regressor

    import numpy
    import sklearn

    print(f"{processor()}, {os.cpu_count()} logical CPUs; worker pool "
          f"{os.environ.get('RAYON_NUM_THREADS', 'of one thread per CPU')}; Python "
          f"{platform.python_version()}, numpy {numpy.__version__}, scikit-learn "
          f"{sklearn.__version__}")
    sklearn_regressor.main(sys.argv[1:] or ["--repeats", "3"])

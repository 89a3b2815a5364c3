"""A tour of zelto_ml: every class, method and function, with results and timings."""
import contextlib
import io
import os
import random
import sys
import tempfile
import time
from typing import Callable, Iterator

import zelto_ml
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic


@contextlib.contextmanager
def standard_error_captured() -> Iterator[io.StringIO]:
    """Sends what native code writes to file descriptor 2 into the yielded buffer, filled when the
    block ends, so that an expected report is shown as such rather than as a crash."""
    text = io.StringIO()
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield text
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            text.write(sink.read().decode(errors="replace"))


def timed(label: str, fn: Callable[[], object], repeat: int = 5) -> float:
    """Runs fn `repeat` times, prints the best time and returns it in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    print(f"  {label:<44} {best * 1e3:9.3f} ms")
    return best


def main() -> None:
    print("zelto_ml exports", zelto_ml.__all__)

    print("\nZeltoMatrix")
    a = ZeltoMatrix([1, 2, 3, 4, 5, 6], 2, 3)
    print("  a.shape()              ", a.shape())
    print("  a.to_list()            ", a.to_list())
    print("  a.transpose().to_list()", a.transpose().to_list())
    print("  a.add(0.5).to_list()   ", a.add(0.5).to_list())
    print("  a.mul(-2).to_list()    ", a.mul(-2).to_list())
    print("  a @ a.T                ", a.matmul(a.transpose()).to_list())
    print("  0.1 stored as float32  ", ZeltoMatrix([0.1], 1, 1).to_list())

    print("\nZeltoSolver")
    x = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    solver = ZeltoSolver(0.5, 1)
    solver.fit(x, [1.0, 2.0])
    print("  one step on 2x2, predict:", solver.predict(x))

    print("\nrun_heavy_logic")
    print("  [1.5, 2.25], 0 iterations:", run_heavy_logic([1.5, 2.25], 0))
    print("  [1.0], 1 iteration       :", run_heavy_logic([1.0], 1))

    print("\nErrors")
    try:
        a.matmul(a)
    except ValueError as exc:
        print("  ValueError:", exc)
    print("  A failed internal check raises PanicException after writing a report to standard")
    print("  error; here 3 values for a 2 x 2 matrix, the report caught and shown indented:")
    with standard_error_captured() as report:
        try:
            ZeltoMatrix([1.0, 2.0, 3.0], 2, 2)
        except BaseException as exc:  # PanicException derives from BaseException
            panic = exc
    for line in report.getvalue().strip().splitlines():
        print("    |", line)
    print(f"  {type(panic).__module__}.{type(panic).__name__}:", panic)

    print("\nTimings (best of 5)")
    rng = random.Random(7)
    n = 512
    values = [rng.uniform(-1.0, 1.0) for _ in range(n * n)]
    timed(f"ZeltoMatrix from a list of {n * n} floats", lambda: ZeltoMatrix(values, n, n))
    big = ZeltoMatrix(values, n, n)
    seconds = timed(f"matmul {n}x{n} by {n}x{n}", lambda: big.matmul(big))
    print(f"  {'  = GFLOPS':<44} {2 * n ** 3 / seconds / 1e9:9.1f}")
    timed(f"transpose {n}x{n}", big.transpose)
    timed(f"add over {n * n} elements", lambda: big.add(1.0))
    timed(f"to_list of {n * n} elements", big.to_list)
    rows, cols = 20_000, 32
    features = ZeltoMatrix([rng.uniform(-1.0, 1.0) for _ in range(rows * cols)], rows, cols)
    targets = [rng.uniform(-1.0, 1.0) for _ in range(rows)]
    model = ZeltoSolver(0.1, 100)
    timed(f"fit {rows}x{cols}, 100 iterations", lambda: model.fit(features, targets), repeat=1)
    timed(f"predict {rows}x{cols}", lambda: model.predict(features))
    data = [rng.uniform(-3.0, 3.0) for _ in range(10_000)]
    timed("run_heavy_logic 10,000 elements x 100", lambda: run_heavy_logic(data, 100), repeat=1)


if __name__ == "__main__":
    main()

"""The benchmark report: every operation of zelto_ml at several sizes beside numpy, in one run.

    PYTHONPATH=build/<dir> .venv/bin/python bench/run.py [--quick] [--threads N] [--out DIR]
                                                           [--update-docs]

Each case times zelto_ml and the equivalent numpy float32 code in alternating rounds (so both
see the same machine load) and keeps the best of the rounds' medians. Where the build directory
holds the C++ benches (cmake -DZELTO_BUILD_BENCH=ON), the plain reference loops of matmul and
run_heavy_logic are timed on the same pool as well.

Writes DIR/results.md (the table) and DIR/throughput.png (throughput against size, one panel per
operation). DIR defaults to bench/ for a full run and build/bench-quick/ for --quick, which
finishes in well under a minute. --update-docs also puts the table into docs/performance.md.
Needs numpy and matplotlib (bench only, not the module).

numpy's BLAS (matmul, the solver's products) uses its own threads; on a machine busy with other
work its spinning threads can lose their cores and slow it down by orders of magnitude. With
threadpoolctl installed (scikit-learn brings it) those cases also time numpy on one BLAS thread
and keep the faster. The report records the BLAS setting and the machine's load.
"""
import argparse
import datetime
import functools
import os
import platform
import sys
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

import bench_heavy
import bench_matrix
import bench_solver
from bench_common import (cpp_bench, median_ms, numpy_kernel, reexec_unthrottled,
                          wait_for_blas_threads)

FEATURES = 32        # columns of the solver's matrices
FIT_STEPS = 10       # gradient steps per timed fit
HEAVY_ITERATIONS = 10

FULL_SIZES = {
    "matmul": [64, 256, 512, 1000, 1024, 2048],
    "add": [10**3, 10**4, 10**5, 10**6, 10**7],
    "mul": [10**3, 10**4, 10**5, 10**6, 10**7],
    "transpose": [64, 256, 1024, 4096],
    "construct": [10**3, 10**4, 10**5, 10**6],
    "construct f32 array": [10**3, 10**4, 10**5, 10**6, 10**7],
    "construct f64 array": [10**3, 10**4, 10**5, 10**6, 10**7],
    "construct i64 array": [10**3, 10**4, 10**5, 10**6, 10**7],
    "asarray": [10**3, 10**5, 10**7],
    "to_list": [10**3, 10**4, 10**5, 10**6],
    "fit step": [10**3, 10**4, 10**5, 10**6],
    "fit step canonical": [10**3, 10**4, 10**5, 10**6],
    "predict": [10**3, 10**4, 10**5, 10**6],
    "predict_matrix": [10**3, 10**4, 10**5, 10**6],
    "run_heavy_logic": [10**3, 10**4, 10**5, 10**6],
    "run_heavy_logic canonical": [10**3, 10**4, 10**5, 10**6],
}
QUICK_SIZES = {
    "matmul": [64, 256, 512],
    "add": [10**3, 10**5, 10**6],
    "mul": [10**3, 10**5, 10**6],
    "transpose": [64, 256, 1024],
    "construct": [10**3, 10**5],
    "construct f32 array": [10**3, 10**5, 10**7],
    "construct f64 array": [10**3, 10**5],
    "construct i64 array": [10**3, 10**5],
    "asarray": [10**3, 10**7],
    "to_list": [10**3, 10**5],
    "fit step": [10**3, 10**4, 10**5],
    "fit step canonical": [10**3, 10**5],
    "predict": [10**3, 10**4, 10**5],
    "predict_matrix": [10**3, 10**5],
    "run_heavy_logic": [10**3, 10**4, 10**5],
    "run_heavy_logic canonical": [10**3, 10**5],
}

# What one call of each operation processes, and the unit its throughput is reported in.
UNITS = {
    "matmul": "GFLOP/s",
    "run_heavy_logic": "M element-iterations/s",
    "run_heavy_logic canonical": "M element-iterations/s",
    "fit step": "M matrix elements/s",
    "fit step canonical": "M matrix elements/s",
    "predict": "M matrix elements/s",
    "predict_matrix": "M matrix elements/s",
}
NUMPY_CODE = {
    "matmul": "a @ b",
    "add": "a + np.float32(v)",
    "mul": "a * np.float32(v)",
    "transpose": "a.T.copy()",
    "construct": "np.array(list, np.float32)",
    "construct f32 array": "a.copy()",
    "construct f64 array": "a.astype(np.float32)",
    "construct i64 array": "a.astype(np.float32)",
    "asarray": "a.view() (zelto_ml: np.asarray(matrix))",
    "to_list": "a.tolist()",
    "fit step": "one step of X @ w + b, X.T @ e",
    "fit step canonical": "one step of X @ w + b, X.T @ e (zelto_ml: canonical=True)",
    "predict": "X @ w + b (an array, not a list)",
    "predict_matrix": "X @ w + b (zelto_ml: an (n, 1) matrix, no list)",
    "run_heavy_logic": "abs(tan(cos(sin(x)))) repeated, then sum",
    "run_heavy_logic canonical": "abs(tan(cos(sin(x)))) repeated, then sum (zelto_ml: canonical=True)",
}


@dataclass
class Result:
    op: str
    size: int          # the x axis: n for n x n matrices, else elements or rows
    label: str
    work: float        # units of the operation's throughput per call
    zelto_ms: float
    numpy_ms: float
    plain_ms: Optional[float] = None

    def throughput(self, ms: float) -> float:
        """Work per second in the operation's unit (GFLOP/s for matmul, millions otherwise)."""
        scale = 1e9 if self.op == "matmul" else 1e6
        return self.work / (ms * 1e-3) / scale


# Operations whose numpy side calls BLAS, whose threads spin while they wait for each other.
BLAS_OPS = ("matmul", "fit step", "fit step canonical", "predict", "predict_matrix")


def has_threadpoolctl() -> bool:
    """Whether numpy's BLAS threads can be limited per call."""
    try:
        import threadpoolctl  # noqa: F401
    except ImportError:
        return False
    return True


def one_blas_thread(fn: Callable[[], object]) -> Callable[[], object]:
    """fn with numpy's BLAS limited to one thread for the duration of each call."""
    from threadpoolctl import threadpool_limits

    def limited() -> object:
        with threadpool_limits(limits=1, user_api="blas"):
            return fn()
    return limited


def paired(ours: Callable[[], object], theirs: Callable[[], object], rounds: int,
           budget_s: float, blas: bool) -> Tuple[float, float]:
    """Best median of each side over alternating rounds, in milliseconds. For BLAS operations
    numpy gets the better of its default threads and one thread, so that a busy machine, where
    spinning BLAS threads lose their cores, does not flatter zelto_ml; and zelto_ml is timed
    only after numpy's BLAS threads stop polling, so that they do not slow it down."""
    variants = [theirs]
    if blas and has_threadpoolctl():
        variants.append(one_blas_thread(theirs))
    a, b = [], []
    for _ in range(rounds):
        if blas:
            wait_for_blas_threads()
        a.append(median_ms(ours, budget_s))
        b.extend(median_ms(v, budget_s) for v in variants)
    return min(a), min(b)


def build_case(zelto_ml, op: str, size: int, rng: np.random.Generator):
    """(label, work, zelto callable, numpy callable) for one operation at one size."""
    if op == "matmul":
        a = rng.uniform(-1, 1, (size, size)).astype(np.float32)
        b = rng.uniform(-1, 1, (size, size)).astype(np.float32)
        za, zb = bench_matrix.zelto_of(zelto_ml, a), bench_matrix.zelto_of(zelto_ml, b)
        return f"{size}x{size}", 2.0 * size**3, lambda: za.matmul(zb), lambda: a @ b
    if op == "transpose":
        a = rng.uniform(-1, 1, (size, size)).astype(np.float32)
        za = bench_matrix.zelto_of(zelto_ml, a)
        return f"{size}x{size}", float(size * size), za.transpose, lambda: a.T.copy()
    if op.startswith("construct ") or op == "asarray":
        a = {"construct f64 array": rng.uniform(-1, 1, size),
             "construct i64 array": rng.integers(-(2**62), 2**62, size)}.get(
                 op, rng.uniform(-1, 1, size).astype(np.float32))
        if op == "asarray":
            za = zelto_ml.ZeltoMatrix(a, 1, size)
            return f"{size:.0e}", float(size), lambda: np.asarray(za), a.view
        theirs = a.copy if a.dtype == np.float32 else lambda: a.astype(np.float32)
        return f"{size:.0e}", float(size), lambda: zelto_ml.ZeltoMatrix(a, 1, size), theirs
    if op in ("add", "mul", "to_list", "construct"):
        a = rng.uniform(-1, 1, size).astype(np.float32)
        values = a.tolist()
        za = zelto_ml.ZeltoMatrix(values, 1, size)
        v = np.float32(1.5)
        ours, theirs = {
            "add": (lambda: za.add(1.5), lambda: a + v),
            "mul": (lambda: za.mul(1.5), lambda: a * v),
            "to_list": (za.to_list, a.tolist),
            "construct": (lambda: zelto_ml.ZeltoMatrix(values, 1, size),
                          lambda: np.array(values, np.float32)),
        }[op]
        return f"{size:.0e}", float(size), ours, theirs
    x = rng.standard_normal((size, FEATURES)).astype(np.float32)
    y = (x @ rng.standard_normal(FEATURES).astype(np.float32)).astype(np.float32)
    xm = bench_matrix.zelto_of(zelto_ml, x)
    label, work = f"{size:.0e}x{FEATURES}", float(size * FEATURES)
    if op.startswith("fit step"):
        return label, work, FitTimer(zelto_ml, xm, y.tolist(), op.endswith("canonical")), \
            lambda: bench_solver.numpy_fit(x, y, np.float32(0.01), 1)
    if op in ("predict", "predict_matrix"):
        solver = zelto_ml.ZeltoSolver(0.01, 1)
        solver.fit(xm, y.tolist())
        w, b = bench_solver.numpy_fit(x, y, np.float32(0.01), 1)
        ours = solver.predict if op == "predict" else solver.predict_matrix
        return label, work, lambda: ours(xm), lambda: x @ w + b
    # Both sides take the same float32 array: the module reads its memory directly.
    data = rng.uniform(-10, 10, size).astype(np.float32)
    canonical = op.endswith("canonical")
    return (f"{size:.0e}x{HEAVY_ITERATIONS}", float(size * HEAVY_ITERATIONS),
            lambda: zelto_ml.run_heavy_logic(data, HEAVY_ITERATIONS, canonical=canonical),
            lambda: bench_heavy.numpy_heavy(data, HEAVY_ITERATIONS))


class FitTimer:
    """A fit of FIT_STEPS steps, and the fit of no steps whose time is subtracted from it."""

    def __init__(self, zelto_ml, xm, targets: List[float], canonical: bool):
        self.trained = zelto_ml.ZeltoSolver(0.01, FIT_STEPS, canonical=canonical)
        self.untrained = zelto_ml.ZeltoSolver(0.01, 0)
        self.xm, self.targets = xm, targets

    def __call__(self) -> None:
        self.trained.fit(self.xm, self.targets)

    def setup_ms(self, budget_s: float) -> float:
        """A fit with no steps: converting the targets and resetting the model."""
        return median_ms(lambda: self.untrained.fit(self.xm, self.targets), budget_s)


def plain_loops(sizes: Dict[str, List[int]], threads: int) -> Dict[Tuple[str, int], float]:
    """Milliseconds of the plain C++ reference loops on the same pool, where the benches exist."""
    found = {}
    matrix, heavy = cpp_bench("matrix_bench"), cpp_bench("heavy_bench")
    if matrix:
        for n in sizes["matmul"]:
            found[("matmul", n)] = bench_matrix.kernel_bench(matrix, threads, n, n, n)["plain_ms"]
    if heavy:
        for n in sizes["run_heavy_logic"]:
            found[("run_heavy_logic", n)] = bench_heavy.run_kernel_bench(
                heavy, threads, n, HEAVY_ITERATIONS, 5)["plain_ms"]
    return found


def progress(done: int, total: int, text: str) -> None:
    """One line on stderr, rewritten in place, so a long run shows where it is."""
    sys.stderr.write(f"\r[{done:>2}/{total}] {text:<40}")
    sys.stderr.flush()


def run(zelto_ml, sizes: Dict[str, List[int]], rounds: int, budget_s: float,
        threads: int) -> List[Result]:
    """Times every case, then the plain loops, which run in their own processes."""
    rng = np.random.default_rng(2024)
    total = sum(len(v) for v in sizes.values()) + 1
    results = []
    done = 0
    for op, op_sizes in sizes.items():
        for size in op_sizes:
            progress(done, total, f"{op} {size}")
            label, work, ours, theirs = build_case(zelto_ml, op, size, rng)
            zelto_ms, numpy_ms = paired(ours, theirs, rounds, budget_s, op in BLAS_OPS)
            if isinstance(ours, FitTimer):
                zelto_ms = (zelto_ms - ours.setup_ms(budget_s)) / FIT_STEPS
            results.append(Result(op, size, label, work, zelto_ms, numpy_ms))
            done += 1
    progress(done, total, "plain C++ reference loops")
    plain = plain_loops(sizes, threads)
    for r in results:
        r.plain_ms = plain.get((r.op, r.size))
    sys.stderr.write("\r" + " " * 60 + "\r")
    return results


def machine() -> str:
    """The processor model and count, which the numbers mean nothing without."""
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            model = next(l.split(":", 1)[1].strip() for l in info if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, {os.cpu_count()} logical CPUs"


@functools.lru_cache(maxsize=None)
def machine_peak() -> Optional[float]:
    """The multiply-then-add peak of one core in GFLOPS (peak_bench), measured once per run."""
    return bench_matrix.peak_gflops()


def conditions(threads: int) -> str:
    """Pool size, numpy's BLAS threads, the machine's load and its peak, which shape every
    number."""
    blas = os.environ.get("OPENBLAS_NUM_THREADS") or os.environ.get("OMP_NUM_THREADS") or "default"
    if has_threadpoolctl():
        blas += " or 1, whichever was faster"
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    peak = machine_peak()
    peak_text = (f"; multiply-then-add peak {peak:.0f} GFLOP/s per core (register operands, "
                 f"peak_bench)" if peak else "")
    return (f"worker pool of {threads}; numpy {np.__version__} ({numpy_kernel()}, without "
            f"OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE) with BLAS threads {blas}; "
            f"Python {platform.python_version()}; load average at the end {load}{peak_text}")


def table(results: List[Result]) -> List[str]:
    """The results as markdown table lines."""
    lines = ["| operation | size | zelto_ml ms | numpy ms | numpy / zelto_ml | zelto_ml throughput "
             "| numpy throughput | plain loop ms |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        unit = UNITS.get(r.op, "M elements/s")
        plain = f"{r.plain_ms:.3f}" if r.plain_ms is not None else ""
        lines.append(f"| {r.op} | {r.label} | {r.zelto_ms:.4f} | {r.numpy_ms:.4f} | "
                     f"{r.numpy_ms / r.zelto_ms:.2f}x | {r.throughput(r.zelto_ms):,.1f} {unit} | "
                     f"{r.throughput(r.numpy_ms):,.1f} {unit} | {plain} |")
    return lines


DOC_START = "<!-- bench/run.py table start -->"
DOC_END = "<!-- bench/run.py table end -->"


def report_lines(results: List[Result], threads: int, quick: bool) -> List[str]:
    """The measuring conditions and the table, as markdown."""
    return [
        f"Measured {datetime.date.today().isoformat()} by `bench/run.py{' --quick' if quick else ''}` "
        f"on {machine()}: {conditions(threads)}.",
        "Times are the best of alternating rounds' medians; numpy / zelto_ml above 1 means "
        "zelto_ml is faster. The plain loop is the straightforward C++ loop on the same pool.",
        "",
        *table(results),
    ]


def write_markdown(path: str, results: List[Result], threads: int, quick: bool) -> None:
    """bench/results.md: conditions, table and what each numpy column runs."""
    lines = [
        "# Benchmark results",
        "",
        *report_lines(results, threads, quick),
        "",
        "numpy code per operation: "
        + "; ".join(f"{op}: `{code}`" for op, code in NUMPY_CODE.items()) + ".",
        f"`fit step` is one gradient step: a fit of {FIT_STEPS} steps less a fit of none, divided "
        f"by {FIT_STEPS}; its numpy column times the same step in numpy.",
        "numpy's vectorised trigonometric functions round differently from the C library's "
        "`sinf`/`cosf`/`tanf`, so that row is a speed reference, not an equivalent.",
        "",
    ]
    with open(path, "w") as out:
        out.write("\n".join(lines))


def update_doc(path: str, results: List[Result], threads: int, quick: bool) -> None:
    """Replaces the table between the document's two markers with this run's."""
    with open(path) as doc:
        text = doc.read()
    start, end = text.index(DOC_START) + len(DOC_START), text.index(DOC_END)
    table_text = "\n".join(report_lines(results, threads, quick))
    with open(path, "w") as doc:
        doc.write(text[:start] + "\n" + table_text + "\n" + text[end:])


def tick_label(op: str, n: int) -> str:
    """Matrix sides in full, element and row counts as powers of ten."""
    return str(n) if op in ("matmul", "transpose") else f"1e{len(str(n)) - 1}"


def plot(path: str, results: List[Result], threads: int) -> None:
    """One log-log panel of throughput against size per operation."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import NullLocator

    ops = list(dict.fromkeys(r.op for r in results))
    cols = 3
    grid_rows = (len(ops) + cols - 1) // cols
    fig, axes = plt.subplots(grid_rows, cols, figsize=(13, 3.4 * grid_rows))
    for ax, op in zip(axes.flat, ops):
        rows = [r for r in results if r.op == op]
        sizes = [r.size for r in rows]
        ax.plot(sizes, [r.throughput(r.zelto_ms) for r in rows], "o-", label="zelto_ml")
        ax.plot(sizes, [r.throughput(r.numpy_ms) for r in rows], "s--", label="numpy")
        plain = [r for r in rows if r.plain_ms is not None]
        if plain:
            ax.plot([r.size for r in plain], [r.throughput(r.plain_ms) for r in plain], "^:",
                    label="plain C++ loop")
        if op == "matmul" and machine_peak():
            ax.axhline(machine_peak() * threads, color="grey", linestyle="-.",
                       label=f"peak, {threads} core{'s' if threads > 1 else ''}")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(sizes, [tick_label(op, n) for n in sizes])
        ax.xaxis.set_minor_locator(NullLocator())
        ax.set_title(op)
        per_row = ("fit step", "fit step canonical", "predict", "predict_matrix")
        ax.set_xlabel("n (n x n matrices)" if op in ("matmul", "transpose")
                      else f"rows (x {FEATURES} features)" if op in per_row else "elements")
        ax.set_ylabel(UNITS.get(op, "M elements/s"))
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    for ax in list(axes.flat)[len(ops):]:
        ax.set_visible(False)
    fig.suptitle(f"zelto_ml against numpy: throughput by size ({machine()}, pool of {threads})")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    """Sizes the pool before the module's first operation, runs, prints and writes the report."""
    reexec_unthrottled()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes, shorter timings")
    parser.add_argument("--threads", type=int, help="pool size (RAYON_NUM_THREADS)")
    parser.add_argument("--out", help="directory for results.md and throughput.png")
    parser.add_argument("--update-docs", action="store_true",
                        help="also replace the table in docs/performance.md with this run's")
    args = parser.parse_args()
    if args.threads is not None:
        # The pool reads this once, at the first parallel operation of the process.
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    threads = args.threads or int(os.environ.get("RAYON_NUM_THREADS") or 0) or os.cpu_count() or 1

    import zelto_ml

    sizes = QUICK_SIZES if args.quick else FULL_SIZES
    rounds, budget_s = (2, 0.03) if args.quick else (3, 0.15)
    results = run(zelto_ml, sizes, rounds, budget_s, threads)
    print("\n".join(table(results)))

    out = args.out or ("build/bench-quick" if args.quick else os.path.dirname(__file__))
    os.makedirs(out, exist_ok=True)
    write_markdown(os.path.join(out, "results.md"), results, threads, args.quick)
    plot(os.path.join(out, "throughput.png"), results, threads)
    print(f"\nwrote {os.path.join(out, 'results.md')} and {os.path.join(out, 'throughput.png')}")
    if args.update_docs:
        doc = os.path.join(os.path.dirname(__file__), "..", "docs", "performance.md")
        update_doc(doc, results, threads, args.quick)
        print("updated the table in docs/performance.md")


if __name__ == "__main__":
    main()

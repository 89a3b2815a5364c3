"""What users read and run: the examples of the README and of docs/, the example scripts, and
the type stubs' agreement with what the module accepts at run time."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import zelto_ml
from doc_examples import python_blocks, run_document

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "zelto_ml-stubs" / "__init__.pyi"
# Child interpreters and mypy gain nothing from a sanitizer's preloaded runtime, only slowness.
unsanitized = pytest.mark.skipif(bool(os.environ.get("ZELTO_SANITIZER")),
                                 reason="Runs child processes, which the plain run checks.")
# The documents beside the README whose python blocks are run, each in a namespace of its own.
DOCS = sorted(path for path in (ROOT / "docs").glob("*.md") if python_blocks(path))


def test_readme_examples_give_the_documented_results():
    assert run_document(ROOT / "README.md") >= 6, "the README lost its worked examples"


@pytest.mark.parametrize("path", DOCS, ids=[path.name for path in DOCS])
def test_docs_examples_give_the_documented_results(path):
    assert run_document(path) >= 1, f"{path.name}'s python blocks check no result"


def run_example(name, timeout=300):
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / name)], capture_output=True,
                          text=True, timeout=timeout, env=dict(os.environ))
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@unsanitized
def test_demo_runs_every_feature():
    out = run_example("demo.py")
    for name in zelto_ml.__all__ + ["pyo3_runtime.PanicException", "GFLOPS"]:
        assert name in out


@unsanitized
def test_diabetes_example_reaches_the_least_squares_fit():
    pytest.importorskip("sklearn")
    out = run_example("diabetes.py")
    reference = re.search(r"R2 train ([\d.]+), test ([\d.]+)", out).groups()
    last_row = [line.split() for line in out.splitlines() if re.match(r"\s+\d+\s+[\d.]+", line)][-1]
    assert tuple(last_row[1:3]) == reference
    assert float(last_row[3]) < 0.01


# Arguments as the stubs type them against what the module does with them at run time.
ARGUMENTS = [
    ("ZeltoMatrix([1.0, 2.0], 1, 2)", True),
    ("ZeltoMatrix((1, 2), 1, 2)", True),
    ("ZeltoMatrix(range(2), 1, 2)", True),
    ("ZeltoMatrix(b'ab', 1, 2)", True),
    ("ZeltoMatrix(array.array('f', [1.0, 2.0]), 1, 2)", True),
    ("ZeltoMatrix(np.array([1, 2], np.float32), np.int64(1), 2)", True),
    ("ZeltoMatrix([1.0], True, True)", True),
    ("ZeltoMatrix('ab', 1, 2)", False),
    ("ZeltoMatrix({1.0, 2.0}, 1, 2)", False),
    ("ZeltoMatrix({0: 1.0, 1: 2.0}, 1, 2)", False),
    ("ZeltoMatrix((v for v in [1.0, 2.0]), 1, 2)", False),
    ("ZeltoMatrix([1.0, 2.0], 1.0, 2)", False),
    ("ZeltoMatrix([1.0, 2.0], 1, 2).add(np.float32(0.5))", True),
    ("ZeltoMatrix([1.0, 2.0], 1, 2).mul(fractions.Fraction(1, 3))", True),
    ("ZeltoMatrix([1.0, 2.0], 1, 2).add('1')", False),
    ("ZeltoMatrix([1.0, 2.0], 1, 2).matmul([[1.0], [2.0]])", False),
    ("ZeltoSolver(0.1, 3).fit(ZeltoMatrix([1.0], 1, 1), y=(2.0,))", True),
    ("ZeltoSolver(0.1, 3.0)", False),
    ("ZeltoSolver(0.1, 3).predict(X=ZeltoMatrix([], 0, 1))", True),
    ("ZeltoSolver(0.1, 3, canonical=True).predict_matrix(ZeltoMatrix([], 0, 1))", True),
    ("ZeltoSolver(0.1, 3, True)", False),
    ("ZeltoSolver(0.1, 3, canonical=1)", False),
    ("ZeltoSolver(0.1, 3).set_weights(ZeltoMatrix([1.0], 1, 1), np.float32(0.5))", True),
    ("ZeltoSolver(0.1, 3).set_weights(np.zeros((2, 1)), 0)", True),
    ("ZeltoSolver(0.1, 3).set_weights([1.0], '0')", False),
    ("ZeltoMatrix(np.zeros((2, 3)), 2, 3)", True),
    ("run_heavy_logic(data=[1.0], iterations=2)", True),
    ("run_heavy_logic([1.0], '2')", False),
    ("run_heavy_logic(iter([1.0]), 2)", False),
    ("run_heavy_logic([1.0], 2, canonical=False)", True),
]
PRELUDE = "import array\nimport fractions\nimport numpy as np\n" \
          "from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic\n"


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """Line numbers mypy flags in a file holding every ARGUMENTS case, checked against the stub."""
    pytest.importorskip("mypy")
    pytest.importorskip("numpy")
    work = tmp_path_factory.mktemp("stubs")
    (work / "zelto_ml.pyi").write_text(STUB.read_text())
    (work / "cases.py").write_text(PRELUDE + "".join(code + "\n" for code, _ in ARGUMENTS))
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--config-file", os.devnull, "cases.py"], cwd=work,
                          env=dict(os.environ, MYPYPATH=str(work)), capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    first = PRELUDE.count("\n") + 1
    return {int(m) - first for m in re.findall(r"^cases\.py:(\d+): error", proc.stdout, re.M)}


@unsanitized
@pytest.mark.parametrize("index", range(len(ARGUMENTS)), ids=[c for c, _ in ARGUMENTS])
def test_stub_accepts_what_the_module_accepts(mypy_errors, index):
    np = pytest.importorskip("numpy")
    code, accepted = ARGUMENTS[index]
    namespace = {"np": np}
    exec(PRELUDE, namespace)
    try:
        eval(code, namespace)
        runs = True
    except TypeError:
        runs = False
    assert runs == accepted, "run time"
    assert (index not in mypy_errors) == accepted, "stub"

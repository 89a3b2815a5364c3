"""The module object, the class objects, the published signatures and reference counts."""
import gc
import importlib.util
import inspect
import re
import sys
from pathlib import Path

import pytest
from conftest import run_python

import zelto_ml
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

ROOT = Path(__file__).resolve().parents[2]


def test_module_attributes():
    assert zelto_ml.__doc__ == ""
    version = re.search(r'^version = "(.+)"$', (ROOT / "pyproject.toml").read_text(), re.M)
    assert zelto_ml.__version__ == version.group(1)
    assert zelto_ml.__all__ == ["ZeltoMatrix", "ZeltoSolver", "run_heavy_logic"]
    assert run_heavy_logic.__module__ == "zelto_ml"
    assert run_heavy_logic.__self__ is zelto_ml
    assert not hasattr(zelto_ml, "PanicException")


@pytest.mark.parametrize("cls, name", [(ZeltoMatrix, "ZeltoMatrix"), (ZeltoSolver, "ZeltoSolver")])
def test_class_identity(cls, name):
    assert cls.__module__ == "zelto_ml"
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class 'zelto_ml.{name}'>"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    instance = ZeltoMatrix([1.0], 1, 1) if cls is ZeltoMatrix else ZeltoSolver(0.1, 1)
    assert repr(instance) == ("ZeltoMatrix(rows=1, cols=1)" if cls is ZeltoMatrix else
                              "ZeltoSolver(lr=0.1, iters=1, canonical=False, weights=0)")
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(instance)


@pytest.mark.parametrize("target, text", [
    (ZeltoMatrix, "(data, rows, cols)"),
    (ZeltoSolver, "(lr, iters, *, canonical=False)"),
    (ZeltoMatrix.matmul, "(self, /, other)"),
    (ZeltoMatrix.add, "(self, /, val)"),
    (ZeltoMatrix.mul, "(self, /, val)"),
    (ZeltoMatrix.transpose, "(self, /)"),
    (ZeltoMatrix.shape, "(self, /)"),
    (ZeltoMatrix.to_list, "(self, /)"),
    (ZeltoSolver.fit, "(self, /, X, y)"),
    (ZeltoSolver.predict, "(self, /, X)"),
    (ZeltoSolver.predict_matrix, "(self, /, X)"),
    (ZeltoSolver.gradient_sums, "(self, /, X, y)"),
    (ZeltoSolver.set_weights, "(self, /, weights, bias)"),
    (run_heavy_logic, "(data, iterations, *, canonical=False)"),
])
def test_signatures(target, text):
    if isinstance(target, type) and sys.version_info < (3, 10):
        # CPython 3.8 and 3.9 read no signature from a heap type's documentation.
        with pytest.raises(ValueError):
            inspect.signature(target)
    else:
        assert str(inspect.signature(target)) == text


def test_second_initialisation_is_refused(pool_run):
    code = """
        import json, sys
        import zelto_ml
        first = zelto_ml
        del sys.modules["zelto_ml"]
        try:
            import zelto_ml
            outcome = "imported"
        except ImportError as error:
            outcome = str(error)
        print(json.dumps([outcome, first.ZeltoMatrix([1, 2], 1, 2).to_list()]))
    """
    outcome, values = pool_run(1, code)
    assert outcome == ("PyO3 modules compiled for CPython 3.8 or older may only be initialized "
                       "once per interpreter process")
    assert values == [1.0, 2.0]


SUBINTERPRETERS = next((name for name in ("_interpreters", "_xxsubinterpreters")
                        if importlib.util.find_spec(name)), None)


@pytest.mark.skipif(sys.version_info < (3, 9) or SUBINTERPRETERS is None,
                    reason="needs CPython 3.9+, whose stable ABI tells a subinterpreter apart, "
                           "and its private subinterpreter module")
def test_subinterpreter_import_is_refused_and_leaves_the_main_import_working():
    sub_code = ("try:\n    import zelto_ml\n    print('imported', flush=True)\n"
                "except ImportError as error:\n    print(error, flush=True)\n")
    proc = run_python(f"""
        import {SUBINTERPRETERS} as interpreters
        interpreters.run_string(interpreters.create(), {sub_code!r})
        import zelto_ml
        print(zelto_ml.ZeltoMatrix([1, 2], 1, 2).to_list())
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "module zelto_ml does not support loading in subinterpreters", "[1.0, 2.0]"]


def _exercise(data):
    """Successful and failing calls of every entry, with data as the list argument."""
    m = ZeltoMatrix(data, 2, 2)
    s = ZeltoSolver(0.1, 2)
    m.add(1.0), m.mul(2), m.matmul(m), m.transpose(), m.shape(), m.to_list()
    s.fit(m, data[:2]), s.predict(m), run_heavy_logic(data, 1)
    failing = [
        lambda: ZeltoMatrix(data, 3, 3), lambda: ZeltoMatrix(data, -1, 4),
        lambda: ZeltoMatrix("ab", 1, 2), lambda: m.add("x"), lambda: m.matmul(data),
        lambda: m.matmul(ZeltoMatrix(data, 1, 4)), lambda: s.fit(data, data),
        lambda: m.add(val=1, other=2), lambda: run_heavy_logic(data, 2.0),
    ]
    for call in failing:
        with pytest.raises(BaseException):
            call()


def test_reference_counts_are_kept():
    data = [1.0, 2.0, 3.0, 4.0]
    watched = [ZeltoMatrix, ZeltoSolver, data, run_heavy_logic]
    _exercise(data)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        _exercise(data)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before

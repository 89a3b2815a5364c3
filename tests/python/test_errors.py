"""Fatal errors as PanicException, the stderr report, resumed panics, objects in messages and
out-of-memory handling."""
import re
import sys

import pytest
from conftest import HugeLen, run_python

from zelto_ml import ZeltoMatrix, run_heavy_logic


def caught(call):
    try:
        call()
    except BaseException as error:  # PanicException derives from BaseException only
        return error
    raise AssertionError("no exception")


PanicException = type(caught(lambda: ZeltoMatrix([], 1, 1)))


def test_panic_exception_class():
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__bases__ == (BaseException,)
    doc = PanicException.__doc__
    assert doc.startswith("\n") and "fails fatally" in doc
    assert "\n\nLike SystemExit" in doc and "BaseException" in doc


# Lengths whose float storage would not fit the address space are a fatal error, not MemoryError.
@pytest.mark.parametrize("length", [2**61, 2**63 - 1])
def test_capacity_overflow_is_a_panic(length):
    error = caught(lambda: ZeltoMatrix(HugeLen(length), 1, 2))
    assert type(error) is PanicException
    assert error.args == ("capacity overflow",) and str(error) == "capacity overflow"
    assert not isinstance(error, Exception)


def test_fatal_report_on_stderr():
    code = """
        import json
        from zelto_ml import ZeltoMatrix
        names = []
        for _ in range(2):
            try:
                ZeltoMatrix([1.0], 2, 2)
            except BaseException as error:
                names.append(type(error).__name__)
        print(json.dumps(names))
    """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    report = (r"\nthread '<unnamed>' \(\d+\) panicked at src/[\w/]+\.cpp:\d+:\d+:\n"
              r"Data length does not match rows \* cols\n")
    assert len(re.findall(report, proc.stderr)) == 2
    assert proc.stderr.count("ZELTO_BACKTRACE") == 1
    assert proc.stdout.strip() == '["PanicException", "PanicException"]'


class RaisesPanic:
    def __float__(self):
        raise PanicException("from python")


def test_panic_from_python_code_resumes(capfd):
    error = caught(lambda: ZeltoMatrix([1.0, RaisesPanic()], 1, 2))
    assert type(error) is PanicException and error.args == ("from python",)
    err = capfd.readouterr().err
    assert ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n") in err
    assert "Traceback (most recent call last)" in err
    assert "in __float__" in err


def test_nested_panic_resumes(capfd):
    class Nested:
        def __float__(self):
            ZeltoMatrix([], 1, 1)

    error = caught(lambda: run_heavy_logic([Nested()], 1))
    assert type(error) is PanicException
    assert error.args == ("Data length does not match rows * cols",)
    assert "resuming a panic" in capfd.readouterr().err


class BadStr(str):
    def __str__(self):
        raise ValueError("cannot print")


class Unprintable:
    def __str__(self):
        raise ValueError("cannot print")


def test_unprintable_objects_in_messages(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    m = ZeltoMatrix([1.0], 1, 1)
    with pytest.raises(TypeError) as info:
        m.add(**{BadStr("key"): 1})
    assert str(info.value) == (
        f"ZeltoMatrix.add() got an unexpected keyword argument "
        f"'<unprintable {__name__}.BadStr object>'")
    with pytest.raises(TypeError) as info:
        m.mul(RaisesError(TypeError(Unprintable())))
    assert str(info.value) == "argument 'val': <unprintable builtins.TypeError object>"
    assert [type(r.exc_value) for r in reports] == [ValueError, ValueError]
    assert isinstance(reports[0].object, BadStr)


class RaisesError:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

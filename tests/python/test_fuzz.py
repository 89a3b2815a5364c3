"""Hostile arguments for every entry point: each call ends in the expected exception or a correct
result, a repeat of the call ends the same way, and every object involved stays usable."""
import sys

import numpy as np
import pytest
from conftest import Unnamed

from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

try:
    ZeltoMatrix([1.0], 2, 2)
except BaseException as caught:  # PanicException derives from BaseException only
    PANIC = type(caught)


class HostileError(Exception):
    pass


class HostileTypeError(TypeError):
    pass


class Unprintable:
    def __str__(self):
        raise HostileError("no text")


A = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
S = ZeltoSolver(0.5, 1)


def call_back_everything():
    """Uses the shared objects from inside a conversion; the module must stay consistent."""
    assert A.matmul(A).to_list() == [7.0, 10.0, 15.0, 22.0]
    assert run_heavy_logic([1.0, 2.0], 0) == 3.0
    try:
        S.fit(A, [1.0, 2.0])
        assert S.predict(A) == [7.5, 16.0]
    except RuntimeError as error:  # S may be the solver being fitted right now
        assert str(error) in ("Already borrowed", "Already mutably borrowed")


def raiser(error):
    def method(self, *args):
        raise error
    return method


def returning(value):
    def method(self, *args):
        return value
    return method


def calling_back(value):
    def method(self, *args):
        call_back_everything()
        return value
    return method


def hostile_number(name, **methods):
    return type(name, (), methods)()


# ---- hostile values, by the kind of parameter they are given to ----------------------------
# Each entry: label, factory (a fresh object per call), and the outcome: an exception class,
# (exception class, message prefix), or the value the argument converts to.

FLOATS = [
    ("str", lambda: "1", (TypeError, "argument '{}': ")),
    ("none", lambda: None, (TypeError, "argument '{}': ")),
    ("list", lambda: [], (TypeError, "argument '{}': ")),
    ("huge int", lambda: 10**400, OverflowError),
    ("float raises", lambda: hostile_number("F", __float__=raiser(HostileError())), HostileError),
    ("float raises TypeError subclass",
     lambda: hostile_number("F", __float__=raiser(HostileTypeError("mine"))), (HostileTypeError, "mine")),
    ("float raises unprintable TypeError",
     lambda: hostile_number("F", __float__=raiser(TypeError(Unprintable()))),
     (TypeError, "argument '{}': <unprintable")),
    ("float returns str", lambda: hostile_number("F", __float__=returning("x")),
     (TypeError, "argument '{}': ")),
    ("float panics", lambda: hostile_number("F", __float__=raiser(PANIC("from python"))),
     (PANIC, "from python")),
    ("float calls back", lambda: hostile_number("F", __float__=calling_back(2.0)), 2.0),
    ("bool", lambda: True, 1.0),
    ("minus one", lambda: -1.0, -1.0),
    ("numpy scalar", lambda: np.float64(0.5), 0.5),
    ("beyond float32", lambda: 1e39, float("inf")),
]

INTEGERS = [
    ("negative", lambda: -1, OverflowError),
    ("2**64", lambda: 2**64, OverflowError),
    ("10**100", lambda: 10**100, OverflowError),
    ("float", lambda: 1.5, (TypeError, "argument '{}': ")),
    ("str", lambda: "2", (TypeError, "argument '{}': ")),
    ("none", lambda: None, (TypeError, "argument '{}': ")),
    ("index raises", lambda: hostile_number("I", __index__=raiser(HostileError())), HostileError),
    ("index returns float", lambda: hostile_number("I", __index__=returning(2.0)),
     (TypeError, "argument '{}': ")),
    ("index panics", lambda: hostile_number("I", __index__=raiser(PANIC("index"))),
     (PANIC, "index")),
    ("index calls back", lambda: hostile_number("I", __index__=calling_back(2)), 2),
    ("bool", lambda: True, 1),
    ("numpy int", lambda: np.int64(2), 2),
    ("zero", lambda: 0, 0),
]


class Seq:
    """A sequence with configurable length and iteration."""

    def __init__(self, items, length=None, iterate=None):
        self.items, self.length, self.iterate = items, length, iterate

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items) if self.iterate is None else self.iterate()


def failing_iterator(error):
    yield 1.0
    raise error


def clearing_list():
    """An exact list whose second item empties it during the conversion."""
    items = [1.0, None, 5.0]
    items[1] = hostile_number("F", __float__=lambda self: items.clear() or 2.0)
    return items


def growing_list():
    """An exact list whose first item appends one more item during the conversion."""
    items = [None, 2.0]
    items[0] = hostile_number("F", __float__=lambda self: items.append(3.0) or 1.0)
    return items


SEQUENCES = [
    ("str", lambda: "abc", (TypeError, "argument '{}': Can't extract `str` to `Vec`")),
    ("set", lambda: {1.0}, (TypeError, "argument '{}': 'set' object cannot be converted")),
    ("dict", lambda: {0: 1.0}, (TypeError, "argument '{}': 'dict' object cannot be converted")),
    ("generator", lambda: (x for x in [1.0]), (TypeError, "argument '{}': 'generator' object")),
    ("int", lambda: 5, (TypeError, "argument '{}': 'int' object cannot be converted")),
    ("none", lambda: None, (TypeError, "argument '{}': 'NoneType' object")),
    ("bytes", lambda: b"ab", [97.0, 98.0]),
    ("range", lambda: range(3), [0.0, 1.0, 2.0]),
    ("tuple", lambda: (1.0, 2.0), [1.0, 2.0]),
    ("numpy array", lambda: np.array([1.0, 2.0], np.float32), [1.0, 2.0]),
    ("length lies high", lambda: Seq([1.0, 2.0], length=1000), [1.0, 2.0]),
    ("length lies low", lambda: Seq([1.0, 2.0, 3.0], length=1), [1.0, 2.0, 3.0]),
    ("length raises", lambda: Seq([1.0, 2.0], length=HostileError()), [1.0, 2.0]),
    ("length panics", lambda: Seq([1.0, 2.0], length=PANIC("len")), (PANIC, "len")),
    ("length is negative", lambda: Seq([1.0], length=-5), [1.0]),
    ("length beyond any vector", lambda: Seq([1.0], length=sys.maxsize),
     (PANIC, "capacity overflow")),
    ("iter raises", lambda: Seq([1.0], iterate=raiser(HostileError()).__get__(0)), HostileError),
    ("iter returns int", lambda: Seq([1.0], iterate=lambda: 5), (TypeError, "argument '{}': ")),
    ("next raises", lambda: Seq([1.0], iterate=lambda: failing_iterator(HostileError())),
     HostileError),
    ("next panics", lambda: Seq([1.0], iterate=lambda: failing_iterator(PANIC("next"))),
     (PANIC, "next")),
    ("item has no float", lambda: [1.0, "x"], (TypeError, "argument '{}': ")),
    ("item raises", lambda: [1.0, hostile_number("F", __float__=raiser(HostileError()))],
     HostileError),
    ("item calls back", lambda: [hostile_number("F", __float__=calling_back(2.0)), 1.0],
     [2.0, 1.0]),
    ("list cleared while read", clearing_list, [1.0, 2.0]),
    ("list grown while read", growing_list, [1.0, 2.0, 3.0]),
]


MATRICES = [
    ("int", lambda: 5, (TypeError, "argument '{}': 'int' object cannot be converted to 'ZeltoMatrix'")),
    ("none", lambda: None, (TypeError, "argument '{}': 'NoneType' object")),
    ("list", lambda: [1.0], (TypeError, "argument '{}': 'list' object")),
    ("solver", lambda: S, (TypeError, "argument '{}': 'ZeltoSolver' object")),
    ("class", lambda: ZeltoMatrix, (TypeError, "argument '{}': ")),
    ("type name raises", Unnamed,
     (TypeError, "argument '{}': '<failed to extract type name>' object cannot be converted")),
]


# ---- entry points: how each kind of argument is fed in, and what a correct result is --------

def heavy_sum(values):
    return float(np.float32(sum(np.float32(v) for v in values)))


ENTRIES = {
    "float": [
        ("add", "val", lambda v: A.add(v).to_list(),
         lambda x: [float(np.float32(e) + np.float32(x)) for e in (1.0, 2.0, 3.0, 4.0)]),
        ("mul", "val", lambda v: A.mul(v).to_list(),
         lambda x: [float(np.float32(e) * np.float32(x)) for e in (1.0, 2.0, 3.0, 4.0)]),
        ("ZeltoSolver", "lr", lambda v: type(ZeltoSolver(v, 0)).__name__, lambda x: "ZeltoSolver"),
    ],
    "integer": [
        ("ZeltoMatrix", "rows", lambda v: ZeltoMatrix([], v, 0).shape(), lambda n: (n, 0)),
        ("ZeltoMatrix", "cols", lambda v: ZeltoMatrix([], 0, v).shape(), lambda n: (0, n)),
        ("ZeltoSolver", "iters", lambda v: type(ZeltoSolver(0.5, v)).__name__,
         lambda n: "ZeltoSolver"),
        ("run_heavy_logic", "iterations", lambda v: run_heavy_logic([], v), lambda n: -0.0),
    ],
    "sequence": [
        ("ZeltoMatrix", "data", lambda v: ZeltoMatrix(v, 1, 0).shape(), None),
        ("fit", "y", lambda v: ZeltoSolver(0.5, 0).fit(A, v), lambda xs: None),
        ("run_heavy_logic", "data", lambda v: run_heavy_logic(v, 0), heavy_sum),
    ],
    "matrix": [
        ("matmul", "other", lambda v: A.matmul(v), None),
        ("fit", "X", lambda v: ZeltoSolver(0.5, 1).fit(v, [1.0]), None),
        ("predict", "X", lambda v: S.predict(v), None),
    ],
}

VALUES = {"float": FLOATS, "integer": INTEGERS, "sequence": SEQUENCES, "matrix": MATRICES}


def cases():
    for kind, entries in ENTRIES.items():
        for entry, parameter, call, correct in entries:
            for label, factory, outcome in VALUES[kind]:
                yield pytest.param(parameter, call, correct, factory, outcome,
                                   id=f"{entry}-{parameter}-{label}")


def run_once(call, factory):
    try:
        return "result", call(factory())
    except BaseException as error:  # PanicException is a BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return "error", error


def check_shared_objects_usable():
    assert A.to_list() == [1.0, 2.0, 3.0, 4.0] and A.shape() == (2, 2)
    assert A.matmul(A).to_list() == [7.0, 10.0, 15.0, 22.0]
    S.fit(A, [1.0, 2.0])
    assert S.predict(A) == [7.5, 16.0]


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("parameter, call, correct, factory, outcome", list(cases()))
def test_hostile_argument(parameter, call, correct, factory, outcome):
    first, second = run_once(call, factory), run_once(call, factory)
    for kind, value in (first, second):
        if isinstance(outcome, type) or isinstance(outcome, tuple):
            cls, prefix = outcome if isinstance(outcome, tuple) else (outcome, "")
            assert kind == "error", f"expected {cls.__name__}, got the result {value!r}"
            assert type(value) is cls, repr(value)
            assert str(value).startswith(prefix.format(parameter)), str(value)
        elif correct is None:
            # Accepted argument where only the shape decides (an empty matrix of data): the call
            # must fail only with the length check, or succeed.
            assert kind == "result" or str(value) == "Data length does not match rows * cols"
        else:
            assert kind == "result", repr(value)
            assert value == correct(outcome), (value, correct(outcome))
    check_shared_objects_usable()


@pytest.mark.parametrize("call, message", [
    (lambda: A.add(1, val=2), "ZeltoMatrix.add() got multiple values for argument 'val'"),
    (lambda: A.add(**{"Val": 1}), "ZeltoMatrix.add() got an unexpected keyword argument 'Val'"),
    (lambda: A.add(**{type("K", (str,), {"__str__": raiser(HostileError())})("vax"): 1}),
     "ZeltoMatrix.add() got an unexpected keyword argument '<unprintable "),
    # A receiver of the wrong class is refused by the interpreter's method descriptor.
    (lambda: ZeltoMatrix.add(S, 1.0), ""),
    (lambda: ZeltoMatrix.transpose(5), ""),
    (lambda: ZeltoSolver.predict(A, A), ""),
    (lambda: ZeltoSolver.fit(None, A, [1.0]), ""),
    (lambda: A.shape(1), ""),
    (lambda: A.to_list(x=1), ""),
])
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_bad_calls_raise_type_error(call, message):
    for _ in range(2):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value).startswith(message)
    check_shared_objects_usable()

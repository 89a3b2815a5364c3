"""Argument binding and conversion: messages, keyword rules, numeric and sequence conversions,
error wrapping and borrow flags."""
import math
import sys

import pytest
from conftest import HugeLen, Unnamed

from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

M = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
S = ZeltoSolver(0.1, 1)


@pytest.mark.parametrize("call, message", [
    (lambda: M.add(1, 2), "ZeltoMatrix.add() takes 1 positional arguments but 2 were given"),
    (lambda: M.add(1, 2, val=3), "ZeltoMatrix.add() takes 1 positional arguments but 2 were given"),
    (lambda: run_heavy_logic([1], 2, 3),
     "run_heavy_logic() takes 2 positional arguments but 3 were given"),
    (lambda: M.add(), "ZeltoMatrix.add() missing 1 required positional argument: 'val'"),
    (lambda: ZeltoMatrix(),
     "ZeltoMatrix.__new__() missing 3 required positional arguments: 'data', 'rows', and 'cols'"),
    (lambda: ZeltoMatrix(rows=1),
     "ZeltoMatrix.__new__() missing 2 required positional arguments: 'data' and 'cols'"),
    (lambda: S.fit(), "ZeltoSolver.fit() missing 2 required positional arguments: 'X' and 'y'"),
    (lambda: S.fit(M), "ZeltoSolver.fit() missing 1 required positional argument: 'y'"),
    (lambda: S.predict(), "ZeltoSolver.predict() missing 1 required positional argument: 'X'"),
    (lambda: M.matmul(), "ZeltoMatrix.matmul() missing 1 required positional argument: 'other'"),
    (lambda: run_heavy_logic([1], iteration=2),
     "run_heavy_logic() got an unexpected keyword argument 'iteration'"),
    (lambda: ZeltoMatrix(Data=[1], rows=1, cols=1),
     "ZeltoMatrix.__new__() got an unexpected keyword argument 'Data'"),
    (lambda: ZeltoSolver(0.1, 1, lr=0.2),
     "ZeltoSolver.__new__() got multiple values for argument 'lr'"),
    (lambda: ZeltoMatrix([1.0], 1, data=[1.0]),
     "ZeltoMatrix.__new__() got multiple values for argument 'data'"),
    (lambda: ZeltoMatrix([1.0], 1, data=[1.0], bogus=1),
     "ZeltoMatrix.__new__() got multiple values for argument 'data'"),
    (lambda: ZeltoMatrix([1.0], 1, bogus=1, data=[1.0]),
     "ZeltoMatrix.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: M.add(**{"\udc80": 1}),
     "ZeltoMatrix.add() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (lambda: ZeltoMatrix("abc", 1, 3), "argument 'data': Can't extract `str` to `Vec`"),
    (lambda: ZeltoMatrix({1.0}, 1, 1),
     "argument 'data': 'set' object cannot be converted to 'Sequence'"),
    (lambda: ZeltoMatrix({1.0: 2}, 1, 1),
     "argument 'data': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: ZeltoMatrix((x for x in [1.0]), 1, 1),
     "argument 'data': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: run_heavy_logic(5, 1), "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    (lambda: S.fit(M, "ab"), "argument 'y': Can't extract `str` to `Vec`"),
    (lambda: M.matmul([1.0]), "argument 'other': 'list' object cannot be converted to 'ZeltoMatrix'"),
    (lambda: S.predict(S), "argument 'X': 'ZeltoSolver' object cannot be converted to 'ZeltoMatrix'"),
    (lambda: S.fit(X=None, y=[]),
     "argument 'X': 'NoneType' object cannot be converted to 'ZeltoMatrix'"),
    (lambda: ZeltoSolver(0.1, 1, True),
     "ZeltoSolver.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: ZeltoSolver(0.1, canonical=True),
     "ZeltoSolver.__new__() missing 1 required positional argument: 'iters'"),
    (lambda: ZeltoSolver(0.1, 1, canonical=1),
     "argument 'canonical': 'int' object cannot be converted to 'PyBool'"),
    (lambda: run_heavy_logic([1.0], 1, canonical=None),
     "argument 'canonical': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: run_heavy_logic([1.0], 1, canonical=True, Canonical=True),
     "run_heavy_logic() got an unexpected keyword argument 'Canonical'"),
    (lambda: S.set_weights([1.0]), "ZeltoSolver.set_weights() missing 1 required positional "
                                   "argument: 'bias'"),
    (lambda: S.set_weights({1.0}, 0.0),
     "argument 'weights': 'set' object cannot be converted to 'Sequence'"),
    (lambda: S.set_weights([1.0], "0"), "argument 'bias': must be real number, not str"),
    (lambda: S.gradient_sums([1.0], [1.0]),
     "argument 'X': 'list' object cannot be converted to 'ZeltoMatrix'"),
    (lambda: S.predict_matrix(X=S),
     "argument 'X': 'ZeltoSolver' object cannot be converted to 'ZeltoMatrix'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_surplus_arguments_on_other_entries():
    # The interpreter's own message, which names the class from CPython 3.9 on.
    owner = "ZeltoMatrix." if sys.version_info >= (3, 9) else ""
    with pytest.raises(TypeError) as info:
        M.transpose(1)
    assert str(info.value) == f"{owner}transpose() takes no arguments (1 given)"
    with pytest.raises(TypeError) as info:
        ZeltoSolver(0.1, 1).predict(M, M)
    assert str(info.value) == "ZeltoSolver.predict() takes 1 positional arguments but 2 were given"


def test_type_name_that_cannot_be_read():
    with pytest.raises(TypeError) as info:
        M.matmul(Unnamed())
    assert str(info.value) == (
        "argument 'other': '<failed to extract type name>' object cannot be converted to "
        "'ZeltoMatrix'")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("rows, expected", [
    (True, 1), (False, 0), (2**64 - 1, 2**64 - 1), (Index(3), 3), (Index(2**63), 2**63),
])
def test_unsigned_accepted(rows, expected):
    assert ZeltoMatrix([], rows, 0).shape() == (expected, 0)


@pytest.mark.parametrize("rows, error, prefix", [
    (2.0, TypeError, "argument 'rows': "),
    ("2", TypeError, "argument 'rows': "),
    (None, TypeError, "argument 'rows': "),
    (-1, OverflowError, ""),
    (2**64, OverflowError, ""),
    (Index(-5), OverflowError, ""),
])
def test_unsigned_refused(rows, error, prefix):
    with pytest.raises(error) as info:
        ZeltoMatrix([], rows, 0)
    assert type(info.value) is error
    assert str(info.value).startswith(prefix)
    if not prefix:
        assert not str(info.value).startswith("argument")


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize("val, expected", [
    (-1.0, 0.0), (True, 2.0), (2, 3.0), (FloatLike(-1.0), 0.0), (1e-10, 1.0), (0.1, 1.100000023841858),
])
def test_float_argument(val, expected):
    assert ZeltoMatrix([1.0], 1, 1).add(val).to_list() == [expected]


def test_float_argument_rounds_before_use():
    assert ZeltoMatrix([0.0], 1, 1).add(0.1).to_list() == [0.10000000149011612]
    assert ZeltoMatrix([1.0, -1.0], 1, 2).mul(1e39).to_list() == [math.inf, -math.inf]


@pytest.mark.parametrize("val, error, text", [
    ("1", TypeError, "argument 'val': "),
    (None, TypeError, "argument 'val': "),
    (10**400, OverflowError, "int too large"),
])
def test_float_argument_refused(val, error, text):
    with pytest.raises(error) as info:
        M.add(val)
    assert type(info.value) is error and str(info.value).startswith(text)


class TypeErrorChild(TypeError):
    pass


class Raises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def test_wrapping_keeps_cause_and_suppresses_context():
    cause = ValueError("root")
    error = TypeError("bad float")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        M.mul(Raises(error))
    assert str(info.value) == "argument 'val': bad float"
    assert info.value is not error
    assert info.value.__cause__ is cause and info.value.__suppress_context__


def test_wrapping_without_cause():
    with pytest.raises(TypeError) as info:
        ZeltoSolver(Raises(TypeError("plain")), 1)
    assert str(info.value) == "argument 'lr': plain"
    assert info.value.__cause__ is None and info.value.__suppress_context__


@pytest.mark.parametrize("error", [TypeErrorChild("child"), ValueError("value"),
                                   KeyError("key"), RuntimeError("runtime")])
def test_other_errors_pass_unchanged(error):
    with pytest.raises(type(error)) as info:
        run_heavy_logic([1.0, Raises(error)], 1)
    assert info.value is error


@pytest.mark.parametrize("data, expected", [
    (b"ab", [97.0, 98.0]),
    (range(3), [0.0, 1.0, 2.0]),
    ((1, 2.5), [1.0, 2.5]),
    ([FloatLike(1.5), 2], [1.5, 2.0]),
    (bytearray(b"\x01"), [1.0]),
])
def test_sequences_accepted(data, expected):
    assert ZeltoMatrix(data, 1, len(expected)).to_list() == expected


class BadLen(list):
    def __len__(self):
        raise ValueError("no length")


class ShortLen(list):
    def __len__(self):
        return 1


# The hint neither limits the reading nor is reserved: one no machine could hold reads the items.
@pytest.mark.parametrize("data", [BadLen([1.0, 2.0, 3.0]), ShortLen([1.0, 2.0, 3.0]),
                                  HugeLen(1), HugeLen(100), HugeLen(10**17), HugeLen(2**61 - 1)])
def test_length_hint_does_not_limit_reading(data):
    expected = [float(x) for x in iter(data)]
    assert ZeltoMatrix(data, 1, len(expected)).to_list() == expected
    assert run_heavy_logic(data, 1) == run_heavy_logic(expected, 1)


class Shrinker:
    """A float-like whose conversion cuts the list it sits in after its own position."""

    def __init__(self, owner, keep):
        self.owner, self.keep = owner, keep

    def __float__(self):
        del self.owner[self.keep:]
        self.owner.append(7.0)
        return 1.0


class Grower:
    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        if len(self.owner) < 5:
            self.owner.append(Grower(self.owner))
        return 2.0


class ListChild(list):
    """Iterated through its iterator, never by index: the reference behaviour."""


@pytest.mark.parametrize("kind", [list, ListChild])
def test_list_changed_during_conversion(kind):
    shrinking = kind([0.0, 0.0, 5.0, 6.0])
    shrinking[0] = Shrinker(shrinking, 1)
    assert ZeltoMatrix(shrinking, 1, 2).to_list() == [1.0, 7.0]
    growing = kind([])
    growing.append(Grower(growing))
    assert ZeltoMatrix(growing, 1, 5).to_list() == [2.0] * 5


def test_iteration_error_is_the_error():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, index):
            raise KeyError("broken item")

    with pytest.raises(KeyError):
        ZeltoMatrix(Broken(), 1, 3)


def test_matmul_with_itself_shares_borrows():
    m = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    assert m.matmul(m).to_list() == [7.0, 10.0, 15.0, 22.0]
    assert m.matmul(other=m).to_list() == [7.0, 10.0, 15.0, 22.0]
    assert m.matmul(m) is not m
    assert m.to_list() == [1.0, 2.0, 3.0, 4.0] and m.shape() == (2, 2)


class Reentrant:
    """During fit, calls back into the solver being fitted and records what happened."""

    def __init__(self, solver, matrix, seen):
        self.solver, self.matrix, self.seen = solver, matrix, seen

    def __float__(self):
        for call in (lambda: self.solver.predict(self.matrix),
                     lambda: self.solver.fit(self.matrix, [1.0]),
                     lambda: self.solver.set_weights([2.0], 1.0),
                     lambda: self.solver.weights):
            try:
                call()
                self.seen.append("no error")
            except RuntimeError as error:
                self.seen.append(str(error))
        self.matrix.to_list()
        return 1.0


def test_borrow_flags_during_fit():
    solver = ZeltoSolver(0.1, 1)
    x = ZeltoMatrix([1.0], 1, 1)
    seen = []
    solver.fit(x, [Reentrant(solver, x, seen)])
    assert seen == ["Already mutably borrowed", "Already borrowed", "Already borrowed",
                    "Already mutably borrowed"]
    plain = ZeltoSolver(0.1, 1)
    plain.fit(x, [1.0])
    assert solver.predict(x) == plain.predict(x)  # the refused calls left the training intact
    with pytest.raises(TypeError):
        solver.fit(x, [Reentrant(solver, x, seen), "not a float"])
    solver.fit(x, [1.0])
    assert solver.predict(x) == solver.predict(x)


def test_repr_reads_the_configuration_while_a_fit_holds_the_solver():
    s = ZeltoSolver(0.5, 2, canonical=True)
    seen = []

    class Probe:
        def __float__(self):
            seen.append(repr(s))  # as another thread would, while the fit converts y
            return 1.0

    s.fit(ZeltoMatrix([1.0], 1, 1), [Probe()])
    assert seen == ["ZeltoSolver(lr=0.5, iters=2, canonical=True, busy)"]
    assert repr(s) == "ZeltoSolver(lr=0.5, iters=2, canonical=True, weights=1)"

"""Arrays in and out. Containers read from their memory give exactly what reading them item by
item gives (bits compared, NaN payloads included), arrays of more dimensions give their
ravel().tolist(), containers that are not read from memory keep their item-by-item outcome, a
stand-in numpy is never trusted, and numpy.asarray(matrix) is a read-only view that keeps the
matrix alive."""
import array
import gc
import pickle

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import run_python
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

DTYPES = [np.bool_, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32,
          np.uint64, np.float16, np.float32, np.float64]
# array.array type codes by numpy element type (the C long is 64 bits on this platform family).
ARRAY_CODES = {"i1": "b", "u1": "B", "i2": "h", "u2": "H", "i4": "i", "u4": "I", "i8": "q",
               "u8": "Q", "f4": "f", "f8": "d"}
# Integers where a float32 rounds (2^24 + 1), where a double does (2^53 + 1), and where rounding
# to a double first makes a tie that rounding straight to float32 would not (2^60 + 2^36 + 1).
INT_EDGES = [2**24 + 1, -(2**24 + 1), 2**53 + 1, -(2**53 + 1), 2**60 + 2**36 + 1,
             -(2**60 + 2**36 + 1), 2**63 + 2**39 + 1, 2**64 - 1]
# Exponent and mantissa bits of float16, float32, float64 by byte width.
FLOAT_FIELDS = {2: (5, 10), 4: (8, 23), 8: (11, 52)}


def bits(matrix):
    """The stored float32 bits (to_list() would widen them, quieting signalling NaNs on the way)."""
    return np.asarray(matrix).view(np.uint32).ravel().tolist()


def built(data, cols):
    """The bits of ZeltoMatrix(data, 1, cols), or the exception's class and message."""
    try:
        return bits(ZeltoMatrix(data, 1, cols))
    except Exception as error:
        return type(error), str(error)


def item_by_item(data):
    """The same for a list of data's items: what reading data one item at a time gives."""
    try:
        items = list(data)
    except Exception as error:
        prefix = "argument 'data': " if type(error) is TypeError else ""
        return type(error), prefix + str(error)
    return built(items, len(items))


def length(data):
    try:
        return len(list(data))
    except Exception:
        return 0


@st.composite
def float_bits(draw, width):
    """A float's bit pattern, often with the exponent of zeros and subnormals or of infinities and
    NaNs (signalling and quiet, any payload)."""
    exponent_bits, mantissa_bits = FLOAT_FIELDS[width]
    top = 2**exponent_bits - 1
    exponent = draw(st.sampled_from([0, top]) | st.integers(0, top))
    mantissa = draw(st.integers(0, 2**mantissa_bits - 1))
    sign = draw(st.booleans())
    return (sign << (exponent_bits + mantissa_bits)) | (exponent << mantissa_bits) | mantissa


@st.composite
def vectors(draw):
    """A 1-D array of any accepted element type with edge values, possibly strided or reversed."""
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    if dtype.kind == "f":
        raw = draw(st.lists(float_bits(dtype.itemsize), max_size=40))
        data = np.array(raw, f"u{dtype.itemsize}").view(dtype)
    elif dtype.kind == "b":
        data = np.array(draw(st.lists(st.booleans(), max_size=40)), dtype)
    else:
        info = np.iinfo(dtype)
        edges = [v for v in INT_EDGES + [info.min, info.max] if info.min <= v <= info.max]
        data = np.array(draw(st.lists(st.integers(info.min, info.max) | st.sampled_from(edges),
                                      max_size=40)), dtype)
    return data[:: draw(st.sampled_from([1, 1, 2, 3, -1, -2]))]


def containers(vector):
    """The vector itself and every other container that can hold the same elements."""
    found = [vector, memoryview(vector)]
    code = ARRAY_CODES.get(vector.dtype.str[1:])
    if code is not None:
        found.append(array.array(code, vector.tobytes()))
    if vector.dtype == np.uint8:
        found += [vector.tobytes(), bytearray(vector.tobytes())]
    return found


@settings(max_examples=400)
@given(vectors())
def test_memory_matches_item_by_item(vector):
    expected = built(vector.tolist(), len(vector))
    for container in containers(vector):
        assert built(container, length(container)) == item_by_item(container)
    assert built(vector, len(vector)) == expected


def test_long_memoryview_is_read_in_pieces():
    values = np.random.default_rng(2).standard_normal(300_001)[::-1]
    assert built(memoryview(values), len(values)) == built(values.tolist(), len(values))


@st.composite
def arrays(draw):
    """An array of one to four dimensions of any accepted element type, possibly a strided,
    reversed or transposed view."""
    shape = draw(st.lists(st.integers(0, 4), min_size=1, max_size=4))
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    raw = draw(st.lists(float_bits(8), min_size=int(np.prod(shape)) * 2,
                        max_size=int(np.prod(shape)) * 2))
    data = np.array(raw, np.uint64).view(np.float64).astype(dtype)
    data = data.reshape([2 * shape[0]] + shape[1:])
    data = data[:: draw(st.sampled_from([2, -2]))]
    return data.transpose(draw(st.permutations(range(len(shape))))) if draw(st.booleans()) else data


@settings(max_examples=300)
@given(arrays())
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_arrays_of_any_dimension_read_in_row_major_order(data):
    assert built(data, data.size) == built(data.ravel().tolist(), data.size)


class Plain(np.ndarray):
    pass


class Doubling(np.ndarray):
    def __getitem__(self, index):
        return super().__getitem__(index) * 2


def test_subclasses_and_one_value_per_row_arguments(tmp_path):
    values = np.random.default_rng(3).standard_normal(12).astype(np.float32)
    mapped = np.memmap(tmp_path / "x", np.float32, "w+", shape=(4, 3))
    mapped[:] = values.reshape(4, 3)
    for data in (mapped, mapped[:, :2], values.reshape(4, 3).view(Plain)):
        assert built(data, data.size) == built(data.ravel().tolist(), data.size)
    doubled = values.view(Doubling)
    assert built(doubled, 12) == item_by_item(doubled) == built((values * 2).tolist(), 12)
    # A column vector (n, 1) or (1, n) is one value per row for fit's y and per weight for
    # set_weights; a wider array keeps the error of reading its rows as numbers.
    x = ZeltoMatrix(values, 4, 3)
    y = np.arange(8, dtype=np.float64)[::2]
    mapped_y = np.memmap(tmp_path / "y", np.float64, "w+", shape=4)
    mapped_y[:] = y
    for fitted_y in (y[:, None], y[None, :], mapped_y):
        a, b = ZeltoSolver(0.01, 3), ZeltoSolver(0.01, 3)
        a.fit(x, fitted_y)
        b.fit(x, y.tolist())
        assert a.predict(x) == b.predict(x)
        a.set_weights(values[:3, None], 0.5)
        b.set_weights(values[:3].tolist(), 0.5)
        assert a.predict(x) == b.predict(x)
    with pytest.raises(TypeError) as info:
        ZeltoSolver(0.1, 1).fit(x, np.zeros((4, 2)))
    with pytest.raises(TypeError) as numpy_error:
        float(np.zeros(2))
    assert str(info.value) == f"argument 'y': {numpy_error.value}"
    assert run_heavy_logic(values.reshape(2, 2, 3), 2) == run_heavy_logic(values.tolist(), 2)
    # Arrays whose memory is not read (another byte order, objects) go item by item, in
    # row-major order, as numbers rather than rows.
    for data in (values.reshape(4, 3).astype(">f4"), values.reshape(2, 6).astype(object),
                 values.reshape(4, 3).astype(">f8").T):
        assert built(data, data.size) == built(data.ravel().tolist(), data.size)
    a, b = ZeltoSolver(0.01, 3), ZeltoSolver(0.01, 3)
    a.fit(x, y[:, None].astype(">f8"))
    b.fit(x, y.tolist())
    assert a.predict(x) == b.predict(x)
    with pytest.raises(BaseException, match="^Data length does not match rows \\* cols$"):
        ZeltoMatrix(values.reshape(3, 4), 3, 3)


def test_stand_in_numpy_is_never_trusted():
    # A module in numpy's place whose ndarray reports an address nothing is mapped at, before
    # and after the real numpy is loaded, and a stand-in array module alike: each is read item
    # by item, and the real numpy arrays keep being read from memory (2-D arrays only can be).
    proc = run_python("""
        import sys, types
        class FakeArray:
            typecode, itemsize = "f", 4
            __array_interface__ = {"version": 3, "typestr": "<f4", "descr": [("", "<f4")],
                                   "shape": (4,), "strides": None, "data": (16, False)}
            def buffer_info(self):
                return (16, 4)
            def __len__(self):
                return 4
            def __getitem__(self, i):
                if i >= 4:
                    raise IndexError(i)
                return float(i + 1)
        fake = types.ModuleType("numpy")
        fake.ndarray = fake.array = FakeArray
        sys.modules["numpy"] = fake
        sys.modules["array"] = types.ModuleType("array")
        sys.modules["array"].array = FakeArray
        from zelto_ml import ZeltoMatrix
        seen = [ZeltoMatrix(FakeArray(), 2, 2).to_list()]
        del sys.modules["numpy"], sys.modules["array"]
        import array, numpy as np
        seen.append(ZeltoMatrix(np.ones((2, 2), np.float32), 2, 2).to_list())
        real = sys.modules["numpy"]
        sys.modules["numpy"] = fake
        seen.append(ZeltoMatrix(FakeArray(), 2, 2).to_list())
        seen.append(ZeltoMatrix(np.full((2, 2), 3.0), 2, 2).to_list())
        seen.append(ZeltoMatrix(array.array("f", [5.0] * 4), 2, 2).to_list())
        print(seen)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str([[1.0, 2.0, 3.0, 4.0], [1.0] * 4, [1.0, 2.0, 3.0, 4.0],
                                       [3.0] * 4, [5.0] * 4])


@pytest.mark.filterwarnings("ignore:Casting complex values", "ignore::UserWarning")
@pytest.mark.parametrize("data", [
    np.array([1.5, 2.0**60 + 1], ">f8"),
    np.array([2**53 + 1], ">i8"),
    np.array([1 + 2j], np.complex64),
    np.array([1.0, 2**70], object),
    np.array(["1.5"]),
    np.array([1, 2], "datetime64[s]"),
    np.array(1.0, np.float32),
    np.ma.masked_array([1.0, 2.0], [False, True]),
    np.zeros(2, [("a", "f4")]),
    array.array("u", "ab"),
    memoryview(np.zeros((2, 2), np.float32)),
    memoryview(np.zeros(2, ">i4")),
    memoryview(np.zeros(2, np.float16)),
    memoryview(b"\x01\x02").cast("c"),
], ids=lambda d: f"{type(d).__name__}-{getattr(d, 'dtype', getattr(d, 'format', ''))}")
def test_other_containers_keep_their_item_outcome(data):
    assert built(data, length(data)) == item_by_item(data)


@pytest.mark.parametrize("rows, cols", [(2, 3), (1, 1), (0, 0), (0, 5), (5, 0)])
def test_asarray_is_a_read_only_view(rows, cols):
    data = np.arange(rows * cols, dtype=np.float32)
    data[::2] = np.array([0x7FC12345], np.uint32).view(np.float32)  # a NaN payload survives
    m = ZeltoMatrix(data, rows, cols)
    view = np.asarray(m)
    assert (view.shape, view.dtype, view.flags.c_contiguous) == ((rows, cols), np.float32, True)
    assert view.base is m and view.tobytes() == data.tobytes()
    assert np.array_equal(view.ravel(), m.to_list(), equal_nan=True)
    assert np.asarray(m).ctypes.data == view.ctypes.data  # the same memory each time, no copy
    assert not view.flags.writeable
    with pytest.raises(ValueError):
        view.flags.writeable = True
    if view.size:
        with pytest.raises(ValueError):
            view[0, 0] = 1.0
    assert bits(ZeltoMatrix(view.ravel(), rows, cols)) == bits(m)


def test_view_outlives_every_other_reference():
    values = np.random.default_rng(1).standard_normal(10**5).astype(np.float32)
    view = np.asarray(ZeltoMatrix(values, 100, 1000))
    gc.collect()
    # Had the matrix been released, these would reuse its memory and overwrite the view.
    churn = [ZeltoMatrix(-values, 1000, 100) for _ in range(4)]
    del churn
    assert view.tobytes() == values.tobytes()


class Wrapped:
    """An object that offers only __array__, as array libraries do: no sequence to iterate."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        return self.array


def test_array_protocol_objects_are_read_by_their_values():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame([[10.0, 20.0, 30.0]])
    assert ZeltoMatrix(frame, *frame.shape).to_list() == [10.0, 20.0, 30.0]  # not its labels
    mixed = pd.DataFrame({"a": [1, 2], "b": [0.5, 2.5]})
    assert ZeltoMatrix(mixed, 2, 2).to_list() == [1.0, 0.5, 2.0, 2.5]
    x, targets = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 4, 1), [1.0, 2.0, 3.0, 4.0]
    expected = ZeltoSolver(0.1, 3)
    expected.fit(x, targets)
    for y in (pd.DataFrame({"t": targets}), pd.Series(targets, index=[9, 8, 7, 6]),
              Wrapped(np.array(targets)), pickle.PickleBuffer(np.array(targets)),
              ZeltoMatrix(targets, 4, 1)):
        s = ZeltoSolver(0.1, 3)
        s.fit(x, y)
        assert (bits(s.weights), s.bias) == (bits(expected.weights), expected.bias)
    with pytest.raises(TypeError) as info:
        ZeltoMatrix(Wrapped([1.0]), 1, 1)
    assert str(info.value) == (
        "argument 'data': __array__ of 'Wrapped' returned 'list', not a numpy.ndarray")


class SelfRavel(np.ndarray):
    def ravel(self, order="C"):
        return self  # flattening through it would never end


class Refolding(np.ndarray):
    def __array_finalize__(self, source):
        if self.shape == (4,):
            self.shape = (2, 2)  # every flattened view comes back two-dimensional


def test_subclass_flattening_cannot_recurse():
    # Another byte order is read item by item, after flattening; neither subclass can make
    # that flattening go on forever.
    square = np.array([[1.0, 2.0], [3.0, 4.0]], ">f4")
    assert ZeltoMatrix(square.view(SelfRavel), 2, 2).to_list() == [1.0, 2.0, 3.0, 4.0]
    assert run_heavy_logic(square.view(SelfRavel), 1) == run_heavy_logic(square.ravel(), 1)
    column = np.array([[1.0], [2.0]], ">f4").view(SelfRavel)
    s = ZeltoSolver(0.1, 1)
    s.set_weights(column, 0.0)
    assert s.weights.to_list() == [1.0, 2.0]
    s.fit(ZeltoMatrix([1.0, 2.0], 2, 1), column)
    with pytest.raises(TypeError) as info:
        ZeltoMatrix(square.view(Refolding), 2, 2)
    with pytest.raises(TypeError) as numpy_error:
        float(np.zeros(2))
    assert str(info.value) == f"argument 'data': {numpy_error.value}"


def test_asarray_of_a_matrix_numpy_cannot_hold():
    with pytest.raises(ValueError) as info:
        np.asarray(ZeltoMatrix([], 0, 2**63))
    assert str(info.value) == ("numpy cannot hold a 0 x 9223372036854775808 float32 array: "
                               "each dimension must be at most 2305843009213693951")
    assert np.asarray(ZeltoMatrix([], 2**61 - 1, 0)).shape == (2**61 - 1, 0)


def test_solver_takes_arrays_with_their_own_shape(tmp_path):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(5)
    values, y = rng.standard_normal((6, 3)), rng.standard_normal(6)
    mapped = np.memmap(tmp_path / "x", np.float64, "w+", shape=(6, 3))
    mapped[:] = values
    for x in (values, values.astype(np.float32), np.asfortranarray(values), values.astype(">f8"),
              (values * 8).astype(np.int16), mapped, pd.DataFrame(values)):
        by_hand = ZeltoMatrix(x, *x.shape)
        a, b = ZeltoSolver(0.05, 4), ZeltoSolver(0.05, 4)
        a.fit(x, y)
        b.fit(by_hand, y)
        assert (bits(a.weights), a.bias) == (bits(b.weights), b.bias)
        assert a.predict(x) == b.predict(by_hand)
        assert bits(a.predict_matrix(x)) == bits(b.predict_matrix(by_hand))
        (g, g_b), (h, h_b) = a.gradient_sums(x, y), a.gradient_sums(by_hand, y)
        assert (bits(g), g_b) == (bits(h), h_b)
    s = ZeltoSolver(0.05, 1)
    s.fit(values, y)
    wanted = "expected a ZeltoMatrix or a 2-D array, not an array of shape"
    for x, message in ((values[0], f"{wanted} (3,)"), (values[None], f"{wanted} (1, 6, 3)"),
                       (values.tolist(), "'list' object cannot be converted to 'ZeltoMatrix'")):
        for call in (lambda: s.fit(x, y), lambda: s.predict(x), lambda: s.predict_matrix(x),
                     lambda: s.gradient_sums(x, y)):
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == f"argument 'X': {message}"


def test_from_array_takes_the_shape_of_the_array():
    pd = pytest.importorskip("pandas")
    column = ZeltoMatrix.from_array(np.arange(3))
    assert (column.shape(), column.to_list()) == ((3, 1), [0.0, 1.0, 2.0])
    values = np.arange(6.0).reshape(2, 3)
    for a in (values, np.asfortranarray(values), pd.DataFrame(values), Wrapped(values)):
        m = ZeltoMatrix.from_array(a)
        assert (m.shape(), bits(m)) == ((2, 3), bits(ZeltoMatrix(values, 2, 3)))
    assert ZeltoMatrix.from_array(m) is m
    for a, message in ((np.array(1.0), "expected a 1-D or 2-D array, not an array of shape ()"),
                       (np.float32(1.0), "'float32' object cannot be converted to 'ZeltoMatrix'"),
                       ([1.0], "'list' object cannot be converted to 'ZeltoMatrix'")):
        with pytest.raises(TypeError) as info:
            ZeltoMatrix.from_array(a)
        assert str(info.value) == f"argument 'a': {message}"

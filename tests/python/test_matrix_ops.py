"""add, mul, matmul and transpose: worked examples, shapes, errors and untouched inputs."""
import numpy as np
import pytest

from float32_reference import assert_same_floats, bits, raises_panic
from zelto_ml import ZeltoMatrix

INF = float("inf")
NAN = float("nan")


def matrix(arr):
    arr = np.asarray(arr, dtype=np.float32)
    return ZeltoMatrix(arr.ravel().tolist(), arr.shape[0], arr.shape[1])


# ---- matmul ---------------------------------------------------------------------------------

@pytest.mark.parametrize("a, a_shape, b, b_shape, want_shape, want", [
    ([1, 2, 3, 4, 5, 6], (2, 3), [1, 2, 3, 4, 5, 6], (3, 2), (2, 2), [22, 28, 49, 64]),
    ([-1.0], (1, 1), [0.0], (1, 1), (1, 1), [0.0]),  # -0.0 summed onto +0.0
    ([1e8, 1, -1e8], (1, 3), [1, 1, 1], (3, 1), (1, 1), [0.0]),  # 1e8 + 1 rounds to 1e8
    ([0.0], (1, 1), [INF], (1, 1), (1, 1), [NAN]),
    ([], (3, 0), [], (0, 2), (3, 2), [0.0] * 6),
    ([], (0, 3), [1, 2, 3, 4, 5, 6], (3, 2), (0, 2), []),
    ([1, 2, 3, 4], (1, 4), [1, 2, 3, 4], (4, 1), (1, 1), [30]),
    ([1, 2], (2, 1), [3, 4], (1, 2), (2, 2), [3, 4, 6, 8]),
    ([0.1, 0.2], (1, 2), [0.3, 0.4], (2, 1), (1, 1), [np.float32(0.1) * np.float32(0.3)
                                                     + np.float32(0.2) * np.float32(0.4)]),
])
def test_matmul_examples(a, a_shape, b, b_shape, want_shape, want):
    c = ZeltoMatrix(a, *a_shape).matmul(ZeltoMatrix(b, *b_shape))
    assert c.shape() == want_shape
    assert_same_floats(c.to_list(), want)


@pytest.mark.parametrize("a_shape, b_shape", [((2, 3), (2, 3)), ((3, 2), (4, 0))])
def test_matmul_shape_mismatch(a_shape, b_shape):
    a = ZeltoMatrix([0.0] * (a_shape[0] * a_shape[1]), *a_shape)
    b = ZeltoMatrix([0.0] * (b_shape[0] * b_shape[1]), *b_shape)
    with pytest.raises(ValueError, match="^Shape mismatch for matmul$"):
        a.matmul(b)


@pytest.mark.parametrize("a_shape, b_shape, message", [
    ((3, 2), (2, 0), "chunk_size must not be zero"),
    ((0, 0), (0, 0), "chunk_size must not be zero"),
    ((2**31, 0), (0, 2**30), "capacity overflow"),
    ((2**40, 0), (0, 2**40), "capacity overflow"),
])
def test_matmul_fatal_errors(a_shape, b_shape, message):
    a = ZeltoMatrix([0.0] * (a_shape[0] * a_shape[1]), *a_shape)
    b = ZeltoMatrix([0.0] * (b_shape[0] * b_shape[1]), *b_shape)
    with raises_panic(message):
        a.matmul(b)


# ---- add and mul ----------------------------------------------------------------------------

@pytest.mark.parametrize("method, data, val, want", [
    ("add", [0.0], 0.1, [np.float32(0.1)]),  # the scalar is rounded to float32 first
    ("add", [1.0], 1e-10, [1.0]),
    ("add", [1.0, -3.5], -1.0, [0.0, -4.5]),
    ("add", [-0.0, 0.0, 2.0], -0.0, [-0.0, 0.0, 2.0]),
    ("add", [1.0, 2.0], 2, [3.0, 4.0]),
    ("mul", [2.0, -3.0, 0.0], 1e39, [INF, -INF, NAN]),
    ("mul", [INF, -INF], 0.0, [NAN, NAN]),
    ("mul", [0.0, 1.5, -2.0], -1.0, [-0.0, -1.5, 2.0]),
    ("mul", [1.5, 2.5], 2, [3.0, 5.0]),
])
def test_elementwise_examples(method, data, val, want):
    a = ZeltoMatrix(data, 1, len(data))
    result = getattr(a, method)(val)
    assert result is not a and result.shape() == (1, len(data))
    assert_same_floats(result.to_list(), want)
    assert_same_floats(a.to_list(), data)


@pytest.mark.parametrize("method", ["add", "mul"])
@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (3, 0)])
def test_elementwise_keeps_empty_shapes(method, shape):
    result = getattr(ZeltoMatrix([], *shape), method)(2.0)
    assert result.shape() == shape and result.to_list() == []


# ---- transpose ------------------------------------------------------------------------------

@pytest.mark.parametrize("data, shape, want_shape, want", [
    ([1, 2, 3, 4, 5, 6], (2, 3), (3, 2), [1, 4, 2, 5, 3, 6]),
    ([1, 2, 3], (1, 3), (3, 1), [1, 2, 3]),
    ([1, 2, 3], (3, 1), (1, 3), [1, 2, 3]),
    ([7.5], (1, 1), (1, 1), [7.5]),
    ([], (3, 0), (0, 3), []),
])
def test_transpose_examples(data, shape, want_shape, want):
    a = ZeltoMatrix(data, *shape)
    t = a.transpose()
    assert t is not a and t.shape() == want_shape
    assert t.to_list() == [float(x) for x in want]
    assert a.shape() == shape


@pytest.mark.parametrize("shape", [(0, 0), (0, 5)])
def test_transpose_without_rows_is_fatal(shape):
    with raises_panic("chunk_size must not be zero"):
        ZeltoMatrix([], *shape).transpose()


def test_transpose_twice_keeps_every_bit():
    rng = np.random.default_rng(11)
    arr = rng.standard_normal((37, 21)).astype(np.float32)
    payload_nan = np.array([0x7FC12345], np.uint32).view(np.float32)[0]
    specials = np.array([-0.0, NAN, INF, -INF, 1e-45, payload_nan], np.float32)
    flat = arr.reshape(-1)
    flat[::7] = np.resize(specials, flat[::7].size)
    once = matrix(arr).transpose()
    assert_same_floats(once.to_list(), arr.T)
    assert np.array_equal(bits(once.transpose().to_list()), bits(arr.ravel()))


# ---- large results --------------------------------------------------------------------------

def test_large_results_reusing_released_memory_are_exact():
    """Results of 4 MiB and more take over the memory a released result leaves behind: each
    one must still hold exactly its own values, including the zeros of a product with no
    inner dimension and results slightly smaller than the released one."""
    rng = np.random.default_rng(12)
    arr = rng.standard_normal((1100, 1000)).astype(np.float32)
    a = matrix(arr)
    steps = [
        (lambda: a.add(1.5), arr + np.float32(1.5)),
        (lambda: a.mul(-2.0), arr * np.float32(-2.0)),
        (lambda: a.transpose(), arr.T),
        (lambda: ZeltoMatrix([], 1100, 0).matmul(ZeltoMatrix([], 0, 1000)),
         np.zeros((1100, 1000), np.float32)),
        (lambda: matrix(arr[:1050]).add(0.0), arr[:1050] + np.float32(0.0)),
        (lambda: a.mul(3.0), arr * np.float32(3.0)),
    ]
    for op, want in steps:
        got = op()
        assert got.shape() == want.shape
        assert np.array_equal(bits(got.to_list()), bits(want.ravel()))
        del got

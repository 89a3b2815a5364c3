"""ZeltoMatrix construction, shape() and to_list()."""
import math

import pytest

from zelto_ml import ZeltoMatrix


def panic_class():
    try:
        ZeltoMatrix([1.0], 2, 2)
    except BaseException as error:
        return type(error)


@pytest.mark.parametrize("rows, cols", [(0, 0), (0, 5), (5, 0), (2**64 - 1, 0), (0, 2**64 - 1),
                                        (1, 1), (2, 3)])
def test_shapes(rows, cols):
    data = [float(i) for i in range(rows * cols)]
    m = ZeltoMatrix(data, rows, cols)
    assert m.shape() == (rows, cols)
    assert m.to_list() == data
    assert m.add(1.0).shape() == (rows, cols)


@pytest.mark.parametrize("data, rows, cols", [
    ([1.0, 2.0, 3.0], 2, 2),
    ([], 2**63, 2),
    ([], 2**32, 2**32),
    ([1.0], 2**32, 2**32),
    ([1.0], 0, 1),
])
def test_length_mismatch_is_a_panic(data, rows, cols):
    with pytest.raises(panic_class()) as info:
        ZeltoMatrix(data, rows, cols)
    assert info.value.args == ("Data length does not match rows * cols",)


def test_keywords_match_positional_form():
    data = [1.0, -2.5, 3.0, 4.0, 5.0, 6.0]
    expected = ZeltoMatrix(data, 2, 3)
    for m in (ZeltoMatrix(data=data, rows=2, cols=3), ZeltoMatrix(cols=3, rows=2, data=data),
              ZeltoMatrix(data, 2, cols=3)):
        assert (m.shape(), m.to_list()) == (expected.shape(), expected.to_list())


@pytest.mark.parametrize("value, stored", [
    (0.1, 0.10000000149011612),
    (16777217.0, 16777216.0),
    (1e40, math.inf),
    (-1e39, -math.inf),
    (3.4028235e38, 3.4028234663852886e38),
    (1e-46, 0.0),
    (-0.0, -0.0),
    (2, 2.0),
    (True, 1.0),
])
def test_elements_round_to_32_bits(value, stored):
    out = ZeltoMatrix([value], 1, 1).to_list()[0]
    assert out == stored and math.copysign(1, out) == math.copysign(1, stored)


def test_nan_survives():
    assert math.isnan(ZeltoMatrix([math.nan], 1, 1).to_list()[0])


def test_conversion_error_precedes_size_check():
    with pytest.raises(OverflowError):
        ZeltoMatrix([1.0, 2.0, 3.0], 2, -1)
    with pytest.raises(TypeError, match=r"^argument 'rows': "):
        ZeltoMatrix([1.0], 2.0, 1)


def test_results_are_new_objects_and_flat():
    m = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    first, second = m.to_list(), m.to_list()
    assert first == [1.0, 2.0, 3.0, 4.0] and first is not second
    first.append(9.0)
    assert m.to_list() == second
    assert m.shape() is not m.shape()


def test_large_round_trip():
    data = [i * 0.25 for i in range(100_000)]
    assert ZeltoMatrix(data, 400, 250).to_list() == data

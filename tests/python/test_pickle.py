"""Keeping and copying models and matrices: every bit survives every pickle protocol, copy,
deepcopy, cloudpickle, a spawned process and joblib; a state is input, so a malformed one raises a
clear error instead of crashing or allocating beyond its own size."""
import copy
import multiprocessing
import pickle
import struct
import subprocess
import sys

import numpy as np
import pytest
from conftest import child_env
from hypothesis import given, settings, strategies as st

from zelto_ml import ZeltoMatrix, ZeltoSolver

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
# Signalling and quiet NaNs with payloads, both zeros, infinities, the smallest subnormal.
SPECIAL_BITS = [0x7F800001, 0xFFBFFFFF, 0x7FC12345, 0x80000000, 0x00000000, 0x7F800000,
                0xFF800000, 0x00000001]


def matrix_state(rows, cols, bits):
    return b"ZMAT" + struct.pack("<IQQ", 1, rows, cols) + struct.pack(f"<{len(bits)}I", *bits)


def solver_state(lr_bits, iters, bias_bits, flags, weight_bits):
    return (b"ZSLV" + struct.pack("<IQIIIQ", 1, iters, lr_bits, bias_bits, flags, len(weight_bits))
            + struct.pack(f"<{len(weight_bits)}I", *weight_bits))


def state_of(obj):
    """The state bytes __reduce__ gives, checking the callable it names."""
    rebuild, (state,) = obj.__reduce__()
    assert rebuild == type(obj)._from_state
    return state


float_bits = st.sampled_from(SPECIAL_BITS) | st.integers(0, 2**32 - 1)


@st.composite
def matrices(draw):
    rows, cols = draw(st.integers(0, 5)), draw(st.integers(0, 5))
    return ZeltoMatrix._from_state(
        matrix_state(rows, cols, draw(st.lists(float_bits, min_size=rows * cols,
                                               max_size=rows * cols))))


@st.composite
def solvers(draw):
    return ZeltoSolver._from_state(solver_state(
        draw(float_bits), draw(st.sampled_from([0, 1, 2**64 - 1]) | st.integers(0, 2**64 - 1)),
        draw(float_bits), draw(st.sampled_from([0, 1])), draw(st.lists(float_bits, max_size=6))))


def copies(obj):
    yield from (pickle.loads(pickle.dumps(obj, protocol)) for protocol in PROTOCOLS)
    yield copy.copy(obj)
    yield copy.deepcopy(obj)


@settings(max_examples=60, deadline=None)
@given(matrices())
def test_matrix_round_trips_keep_every_bit(m):
    state = state_of(m)
    assert len(pickle.dumps(m, 5)) < len(state) + 100  # raw float32 bytes, not a list of floats
    for twin in copies(m):
        assert type(twin) is ZeltoMatrix and state_of(twin) == state
        assert np.asarray(twin).tobytes() == np.asarray(m).tobytes()


@settings(max_examples=60, deadline=None)
@given(solvers())
def test_solver_round_trips_keep_every_bit(s):
    state = state_of(s)
    for twin in copies(s):
        assert type(twin) is ZeltoSolver and twin is not s and state_of(twin) == state
        assert (twin.iters, twin.canonical, repr(twin)) == (s.iters, s.canonical, repr(s))
        assert np.asarray(twin.weights).tobytes() == np.asarray(s.weights).tobytes()


def test_state_layout_and_trained_solvers():
    m = ZeltoMatrix([1.0, -0.0], 1, 2)
    assert state_of(m) == matrix_state(1, 2, [0x3F800000, 0x80000000])
    untrained = ZeltoSolver(0.5, 3, canonical=True)
    assert state_of(untrained) == solver_state(0x3F000000, 3, 0, 1, [])
    trained = ZeltoSolver(0.5, 1)
    trained.fit(ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2), [1.0, 2.0])
    bias_only = ZeltoSolver(0.5, 1)
    bias_only.fit(ZeltoMatrix([], 2, 0), [1.0, 2.0])
    for s in (trained, bias_only):
        twin = pickle.loads(pickle.dumps(s))
        assert (twin.weights.to_list(), twin.bias) == (s.weights.to_list(), s.bias)
    assert pickle.loads(pickle.dumps(trained)).predict(ZeltoMatrix([1, 2, 3, 4], 2, 2)) == [7.5, 16.0]
    # Copies are independent: refitting one leaves the other as it was.
    twin = copy.deepcopy(trained)
    twin.fit(ZeltoMatrix([1.0], 1, 1), [5.0])
    assert trained.weights.to_list() == [1.75, 2.5]
    # A matrix never changes, so it is its own copy.
    assert copy.copy(m) is m and copy.deepcopy(m) is m


def test_classes_pickle_by_reference():
    assert pickle.loads(pickle.dumps(ZeltoSolver)) is ZeltoSolver
    assert pickle.loads(pickle.dumps(ZeltoMatrix._from_state)) == ZeltoMatrix._from_state


def test_cloudpickle():
    cloudpickle = pytest.importorskip("cloudpickle")
    s = ZeltoSolver(0.25, 2, canonical=True)
    s.fit(ZeltoMatrix([1.0, 2.0], 2, 1), [3.0, 4.0])
    twin, cls = cloudpickle.loads(cloudpickle.dumps((s, ZeltoSolver)))
    assert cls is ZeltoSolver and state_of(twin) == state_of(s)


M_HEADER = matrix_state(2, 3, [0] * 6)
S_HEADER = solver_state(0x3F000000, 3, 0, 0, [0, 0])


@pytest.mark.parametrize("cls, state, error, message", [
    (ZeltoMatrix, "ZMAT", TypeError, "argument 'state': 'str' object cannot be converted to 'PyBytes'"),
    (ZeltoSolver, None, TypeError,
     "argument 'state': 'NoneType' object cannot be converted to 'PyBytes'"),
    (ZeltoMatrix, b"", ValueError, "not a ZeltoMatrix state (it does not begin with b'ZMAT')"),
    (ZeltoMatrix, S_HEADER, ValueError, "not a ZeltoMatrix state (it does not begin with b'ZMAT')"),
    (ZeltoSolver, M_HEADER, ValueError, "not a ZeltoSolver state (it does not begin with b'ZSLV')"),
    (ZeltoMatrix, b"ZMAT\x01\x00", ValueError,
     "ZeltoMatrix state is truncated: 6 bytes, its header alone takes 24"),
    (ZeltoMatrix, M_HEADER[:23], ValueError,
     "ZeltoMatrix state is truncated: 23 bytes, its header alone takes 24"),
    (ZeltoSolver, S_HEADER[:35], ValueError,
     "ZeltoSolver state is truncated: 35 bytes, its header alone takes 36"),
    (ZeltoMatrix, b"ZMAT" + struct.pack("<I", 2) + M_HEADER[8:], ValueError,
     "ZeltoMatrix state version 2 is not supported (this build reads version 1)"),
    (ZeltoSolver, b"ZSLV" + struct.pack("<I", 0) + S_HEADER[8:], ValueError,
     "ZeltoSolver state version 0 is not supported (this build reads version 1)"),
    (ZeltoMatrix, M_HEADER[:-1], ValueError,
     "ZeltoMatrix state has 23 bytes of elements, not 4 bytes each of a 2 x 3 matrix"),
    (ZeltoMatrix, M_HEADER + bytes(4), ValueError,
     "ZeltoMatrix state has 28 bytes of elements, not 4 bytes each of a 2 x 3 matrix"),
    # Counts far beyond the state's own size are refused before anything is allocated.
    (ZeltoMatrix, matrix_state(2**63, 2, []), ValueError,
     "ZeltoMatrix state has 0 bytes of elements, not 4 bytes each of a 9223372036854775808 x 2 "
     "matrix"),
    (ZeltoMatrix, matrix_state(2**40, 2**21, [0]), ValueError,
     "ZeltoMatrix state has 4 bytes of elements, not 4 bytes each of a 1099511627776 x 2097152 "
     "matrix"),
    (ZeltoSolver, solver_state(0, 1, 0, 0, [0, 0])[:28] + struct.pack("<Q", 2**62) + bytes(8),
     ValueError, "ZeltoSolver state has 8 bytes of weights, not 4 bytes each of "
                 "4611686018427387904 weights"),
    (ZeltoSolver, S_HEADER + bytes(2), ValueError,
     "ZeltoSolver state has 10 bytes of weights, not 4 bytes each of 2 weights"),
    (ZeltoSolver, solver_state(0, 1, 0, 2, []), ValueError, "ZeltoSolver state has unknown flags 2"),
])
def test_malformed_states_are_refused(cls, state, error, message):
    with pytest.raises(error) as info:
        cls._from_state(state)
    assert type(info.value) is error and str(info.value) == message


@settings(max_examples=300, deadline=None)
@given(st.sampled_from([(ZeltoMatrix, M_HEADER), (ZeltoSolver, S_HEADER)]), st.data())
def test_damaged_states_load_exactly_or_raise(kind, data):
    cls, state = kind
    cut = data.draw(st.integers(0, len(state) + 8))
    damaged = bytearray((state + data.draw(st.binary(min_size=8, max_size=8)))[:cut])
    for _ in range(data.draw(st.integers(0, 3))):
        if damaged:
            damaged[data.draw(st.integers(0, len(damaged) - 1))] = data.draw(st.integers(0, 255))
    try:
        loaded = cls._from_state(bytes(damaged))
    except ValueError:
        return
    assert state_of(loaded) == bytes(damaged)


def spawned_matrix(rows, cols):
    """Runs in a spawned worker: a matrix whose bits only a lossless return keeps."""
    return ZeltoMatrix._from_state(matrix_state(rows, cols, SPECIAL_BITS[: rows * cols]))


def test_matrix_returned_from_a_spawned_pool():
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        returned = pool.apply(spawned_matrix, (2, 4))
    assert state_of(returned) == state_of(spawned_matrix(2, 4))


@pytest.mark.skipif(sys.platform != "linux", reason="joblib's process workers, as on CI")
def test_joblib_runs_a_script_function_that_imports_the_classes(tmp_path):
    pytest.importorskip("joblib")
    script = tmp_path / "train.py"
    script.write_text(
        "import pickle, sys\n"
        "from joblib import Parallel, delayed\n"
        "from zelto_ml import ZeltoMatrix, ZeltoSolver\n"
        "def train(k):\n"
        "    s = ZeltoSolver(0.5, k)\n"
        "    s.fit(ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2), [1.0, 2.0])\n"
        "    return s\n"
        "if __name__ == '__main__':\n"
        "    models = Parallel(n_jobs=2)(delayed(train)(k) for k in range(4))\n"
        "    local = [train(k) for k in range(4)]\n"
        "    print([m.__reduce__() == l.__reduce__() for m, l in zip(models, local)])\n")
    proc = subprocess.run([sys.executable, str(script)], env=child_env(), capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[True, True, True, True]"

"""run_heavy_logic: worked values, the C library chain per element, and the division of the sum."""
import json
import math
import os

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import run_python
from float32_reference import F32, heavy
from zelto_ml import run_heavy_logic


def bits(x):
    """The 32-bit pattern of x as an int, so NaN and -0.0 compare exactly (and hash)."""
    return int(np.float32(x).view(np.uint32))


def same(expected, actual):
    """Same 32-bit value including the sign of zero, or both NaN."""
    if math.isnan(expected):
        return math.isnan(actual)
    return bits(expected) == bits(actual)


def sample(n, seed):
    """Float32-exact inputs of mixed sign and magnitude, with a -0.0 and a subnormal."""
    values = np.random.default_rng(seed).uniform(-20.0, 20.0, n).astype(np.float32)
    values[::17] = -0.0
    values[5::29] = np.float32(1e-40)
    return [float(v) for v in values]


@pytest.mark.parametrize("data, iterations, expected", [
    ([1.5, 2.25], 0, 3.75),
    ([0.1], 0, 0.10000000149011612),
    ([-0.0], 0, -0.0),
    ([0.0], 0, 0.0),
    ([], 0, -0.0),
    ([], 1, -0.0),
    ([], 2**64 - 1, -0.0),
    ([1e39], 0, math.inf),
    ([1e39, 1.0], 1, math.nan),
    ([-1e39], 3, math.nan),
    ([math.nan, 2.0], 0, math.nan),
    ([math.nan], 5, math.nan),
])
def test_worked_values(data, iterations, expected):
    result = run_heavy_logic(data, iterations)
    assert type(result) is float
    assert same(expected, result), (expected, result)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(width=32, allow_nan=False, allow_infinity=False), max_size=60),
       st.integers(1, 3))
def test_finite_data_bounds(data, iterations):
    result = run_heavy_logic(data, iterations)
    m = len(data)
    if m == 0:
        assert same(-0.0, result)
    else:
        assert 0.5998 * m < result < 1.5575 * m


@pytest.mark.parametrize("threads, iterations", [(1, 0), (1, 3), (2, 0), (3, 1), (7, 0)])
def test_pool_grouping_is_its_division_on_every_call(pool_run, threads, iterations):
    """Each pool size groups the sum by the division a run without take-overs makes, call after
    call, whichever worker runs which piece."""
    datasets = [sample(n, 100 + n) for n in (1, 2, 3, 7, 37, 100, 1001)]
    out = results_in_pool(pool_run, threads, datasets, iterations, calls=20)
    for data, results in zip(datasets, out):
        want = float(heavy(data, iterations, threads)).hex()
        assert set(results) == {want}, (threads, len(data))


def results_in_pool(pool_run, threads, datasets, iterations, calls):
    """Results (as float.hex) of `calls` calls per dataset in a fresh process with that pool."""
    return pool_run(threads, f"""
        import json
        from zelto_ml import run_heavy_logic
        datasets = json.loads({json.dumps(json.dumps(datasets))})
        print(json.dumps([[run_heavy_logic(d, {iterations}).hex() for _ in range({calls})]
                          for d in datasets]))
    """)


@pytest.mark.parametrize("data", [(1.0, 2.0), range(4), b"ab", np.float32([0.25, 0.5])])
def test_any_sequence_is_accepted(data):
    expected = float(sum(F32(v) for v in data))
    assert run_heavy_logic(data, 0) == expected


def test_keywords():
    assert run_heavy_logic(iterations=0, data=[1.0, 2.0]) == 3.0
    assert run_heavy_logic([1.0], iterations=0) == 1.0


@pytest.mark.parametrize("args, kwargs, exc, message", [
    (("abc", 1), {}, TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (({1.0}, 1), {}, TypeError, "argument 'data': 'set' object cannot be converted to 'Sequence'"),
    (([1.0, "x"], 1), {}, TypeError, "argument 'data': "),
    (([1.0], -1), {}, OverflowError, ""),
    (([1.0], 2**64), {}, OverflowError, ""),
    (([1.0], 3.0), {}, TypeError, "argument 'iterations': "),
    (([1.0],), {}, TypeError,
     "run_heavy_logic() missing 1 required positional argument: 'iterations'"),
    (([1.0], 1), {"data": [2.0]}, TypeError,
     "run_heavy_logic() got multiple values for argument 'data'"),
])
def test_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        run_heavy_logic(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value).startswith(message)
    if exc is OverflowError:
        assert not str(info.value).startswith("argument")


# Where glibc 2.36's FMA and SSE2 builds of sinf (first six) and cosf (rest) give different bits.
BUILD_WITNESSES = [0x4255B0A9, 0x42A35C07, 0x42A35D44, 0x42A97360, 0x42CF5854, 0x42E87A55,
                   0x418A3ADB, 0x418A3ADC, 0x41BC76D9, 0x4202EB4B, 0x42687A55, 0x4280CE28,
                   0x42870E40, 0x42C55FAA, 0x42D8D23E]


@pytest.mark.parametrize("tunables", [None, "glibc.cpu.hwcaps=-AVX2,-FMA"])
def test_library_bits_whichever_library_build(tunables):
    """Under either build of the C library's sinf and cosf (the tunable masks FMA and AVX2, so
    glibc picks its SSE2 build and the library guard refuses the vector kernels), every term has
    the bits of the library this process calls and the sum its one-worker grouping."""
    witnesses = [float(np.uint32(b | s).view(np.float32))
                 for b in BUILD_WITNESSES for s in (0, 0x80000000)]
    data = witnesses + sample(300, 5)
    env = {"RAYON_NUM_THREADS": "1"}
    if tunables:
        env["GLIBC_TUNABLES"] = tunables
    proc = run_python(f"""
        import json, sys
        sys.path.insert(0, {json.dumps(os.path.dirname(__file__))})
        from float32_reference import heavy, heavy_term
        from zelto_ml import run_heavy_logic
        data = {json.dumps(data)}
        terms = [(run_heavy_logic([x], 1), float(heavy_term(x, 1))) for x in data]
        print(json.dumps([[a.hex(), b.hex()] for a, b in terms]
                         + [[run_heavy_logic(data, 3).hex(), float(heavy(data, 3)).hex()]]))
    """, env=env)
    assert proc.returncode == 0, proc.stderr
    for got, want in json.loads(proc.stdout.strip().splitlines()[-1]):
        assert got == want


@pytest.mark.parametrize("n", [1, 3, 1000, 100_000])
def test_nan_sum_is_the_canonical_nan(n):
    """On the calling thread (a few elements) and on the pool alike, a NaN sum is 0x7fc00000,
    whatever payloads and signs the NaNs in the data carry."""
    data = np.full(n, 0.5, dtype=np.float32)
    data[0] = np.uint32(0xFFC0ABCD).view(np.float32)
    data[-1] = np.uint32(0x7FC01234).view(np.float32)
    for iterations in (0, 1):
        assert bits(run_heavy_logic(data, iterations)) == 0x7FC00000

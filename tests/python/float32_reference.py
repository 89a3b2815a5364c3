"""Exact float32 references for every operation of zelto_ml, written with numpy.

Each reference performs the same single-precision operations in the same order as the module, so
results compare bit for bit. Sums that span several units of parallel work (fit's gradients,
run_heavy_logic's total) follow the division of a one-thread pool, the only pool whose grouping
depends on nothing but the length of the range.
"""
import contextlib
import ctypes
import struct

import numpy as np
import pytest

F32 = np.float32

_LIBM = ctypes.CDLL("libm.so.6")
for _name in ("sinf", "cosf", "tanf"):
    getattr(_LIBM, _name).restype = ctypes.c_float
    getattr(_LIBM, _name).argtypes = [ctypes.c_float]


def f32_array(values):
    """Python floats rounded to float32 exactly as the module's float conversion does."""
    with np.errstate(all="ignore"):
        return np.asarray(values, dtype=np.float64).astype(np.float32)


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def assert_same_floats(got, want):
    """Equal bit for bit, except that any NaN matches any NaN at the same position."""
    got = np.asarray(got, dtype=np.float32).ravel()
    want = np.asarray(want, dtype=np.float32).ravel()
    assert got.shape == want.shape
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan), (got, want)
    assert np.array_equal(bits(got[~nan]), bits(want[~nan])), (got, want)


@contextlib.contextmanager
def raises_panic(message):
    """Expects PanicException (a BaseException, not an Exception) carrying exactly message."""
    with pytest.raises(BaseException) as info:
        yield
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (message,)
    assert str(info.value) == message


def out_of_bounds(n):
    return f"index out of bounds: the len is {n} but the index is {n}"


# ---- matrix operations ----------------------------------------------------------------------

def add(a, val):
    with np.errstate(all="ignore"):
        return f32_array(a) + f32_array(val)


def mul(a, val):
    with np.errstate(all="ignore"):
        return f32_array(a) * f32_array(val)


def matmul(a, b):
    """c[i][j] = a[i][p] * b[p][j] + c[i][j] from +0.0, p ascending, one rounding each."""
    c = np.zeros((a.shape[0], b.shape[1]), dtype=np.float32)
    with np.errstate(all="ignore"):
        for p in range(a.shape[1]):
            c = np.multiply(a[:, p:p + 1], b[p:p + 1, :]) + c
    return c


def transpose(a):
    return np.ascontiguousarray(a.T)


# ---- solver ---------------------------------------------------------------------------------

def predict(x, w, b):
    """Per row: p = b, then p = p + w_j * x_ij for j ascending (vectorised over rows)."""
    x = np.asarray(x, dtype=np.float32)
    p = np.full(x.shape[0], b, dtype=np.float32)
    if x.shape[0] == 0:
        return p
    with np.errstate(all="ignore"):
        for j in range(x.shape[1]):
            p = p + w[j] * x[:, j]
    return p


def division_tree(n, threads=1):
    """The leaves of a range of n units divided for a pool of `threads` workers, as a nested
    (left, right) tree: the division a run without take-overs makes, whichever worker runs what.

    A piece of m >= 2 units splits when it is moved (only the two halves of the top piece are)
    with budget max(T, b // 2), or when its budget b is positive with b // 2; a piece of one unit
    is always a leaf. With T = 1, n >= 8 gives eight leaves (100 -> 50 -> 25 -> 12 + 13).
    """
    def piece(begin, end, budget, moved, halves_moved):
        half = (end - begin) // 2
        if half >= 1 and (moved or budget > 0):
            nxt = max(threads, budget // 2) if moved else budget // 2
            return (piece(begin, begin + half, nxt, halves_moved, False),
                    piece(begin + half, end, nxt, halves_moved, False))
        return (begin, end)
    return piece(0, n, threads, False, True)


def canonical_tree(n):
    """The halving tree of n units down to single units: left piece floor(m / 2) units."""
    def piece(begin, end):
        if end - begin >= 2:
            middle = begin + (end - begin) // 2
            return (piece(begin, middle), piece(middle, end))
        return (begin, end)
    return piece(0, n)


def grouping_tree(n, threads=1, canonical=False):
    return canonical_tree(n) if canonical else division_tree(n, threads)


def gradient(x, y, w, b, tree):
    """One gradient pass: leaves fold rows in order onto zeros, then add onto zeros once more;
    halves combine as left + right."""
    m = x.shape[1]
    if isinstance(tree[0], int):
        begin, end = tree
        p = predict(x[begin:end], w, b)
        a, a_b = np.zeros(m, dtype=np.float32), F32(0.0)
        for k, i in enumerate(range(begin, end)):
            e = p[k] - y[i]
            a = e * x[i] + a
            a_b = a_b + e
        return np.zeros(m, dtype=np.float32) + a, F32(0.0) + a_b
    (la, lb), (ra, rb) = gradient(x, y, w, b, tree[0]), gradient(x, y, w, b, tree[1])
    return la + ra, lb + rb


def fit(x, y, lr, iters, threads=1, canonical=False):
    """Weights and bias after fit(x, y) with its sums grouped by the division for a pool of
    `threads` workers, or canonically. Raises IndexError where the module reports a short y."""
    x = np.asarray(x, dtype=np.float32)
    y, lr = f32_array(y), f32_array([lr])[0]
    n, m = x.shape
    w, b, n_f = np.zeros(m, dtype=np.float32), F32(0.0), F32(n)
    if iters > 0 and len(y) < n:
        raise IndexError(out_of_bounds(len(y)))
    tree = grouping_tree(n, threads, canonical)
    with np.errstate(all="ignore"):
        for _ in range(iters):
            g, g_b = gradient(x, y, w, b, tree)
            w = w - ((g / n_f) * lr)
            b = b - ((g_b / n_f) * lr)
    return w, b


# ---- run_heavy_logic ------------------------------------------------------------------------

def heavy_term(x, iterations):
    """One element through sinf, cosf, tanf of the C library, sign cleared, `iterations` times."""
    x = float(F32(x))
    for _ in range(iterations):
        x = _LIBM.tanf(_LIBM.cosf(_LIBM.sinf(x)))
        x = struct.unpack("<f", struct.pack("<I", struct.unpack("<I", struct.pack("<f", x))[0]
                                            & 0x7FFFFFFF))[0]
    return F32(x)


def heavy(data, iterations, threads=1, canonical=False):
    """run_heavy_logic grouped for a pool of `threads` workers, or canonically: leaves add their
    terms onto -0.0 in order, halves combine as left + right."""
    terms = [heavy_term(x, iterations) for x in f32_array(data)]

    def walk(tree):
        if isinstance(tree[0], int):
            acc = F32(-0.0)
            for t in terms[tree[0]:tree[1]]:
                acc = F32(acc + t)
            return acc
        return F32(walk(tree[0]) + walk(tree[1]))

    with np.errstate(all="ignore"):
        return walk(grouping_tree(len(terms), threads, canonical))

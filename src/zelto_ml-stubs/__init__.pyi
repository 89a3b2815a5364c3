"""Bit-reproducible float32 matrices, linear regression and a trigonometric reduction.

Every number is rounded to the nearest float32 on the way in and widened exactly to a Python
float on the way out. Internal failures raise ``pyo3_runtime.PanicException``, a subclass of
``BaseException`` (not of ``Exception``) that is not an attribute of this module: catch it with
``except BaseException``. Both classes pickle and copy with every bit kept.
"""

from typing import (Any, Callable, Iterator, Protocol, SupportsFloat, SupportsIndex, Tuple, Union,
                    final, overload)

__all__ = ["ZeltoMatrix", "ZeltoSolver", "run_heavy_logic"]

# The version of the zelto_ml distribution this module was built from.
__version__: str

# Anything the module reads as one float: float, int, bool, numpy scalars, or any object with
# __float__ or __index__.
_Float = Union[SupportsFloat, SupportsIndex]

class _FloatSequence(Protocol):
    """A sequence of numbers: list, tuple, range, bytes, array.array, a numpy array.

    numpy arrays of bool, integer or float16/32/64 elements (any number of dimensions, taken in
    row-major order, numpy.memmap included; for fit's y and set_weights' weights only shapes
    such as (n,) and (n, 1)), bytes, bytearray, numeric array.array and one-dimensional
    memoryview are read straight from memory, with the same floats item-by-item reading gives.

    Not str (its items are str) and not a mapping (the module refuses non-sequences; mappings
    take no slices, which is how this protocol tells them apart).
    """

    @overload
    def __getitem__(self, index: int, /) -> _Float: ...
    @overload
    def __getitem__(self, index: slice, /) -> object: ...
    def __iter__(self) -> Iterator[_Float]: ...

class _SupportsArray(Protocol):
    """An object offering numpy's array protocol, read by its values as the numpy array its
    __array__ gives (pandas' DataFrame and Series, numpy arrays, other libraries' arrays), never
    by iteration. Objects offering the buffer protocol are read the same way (through numpy)."""

    def __array__(self) -> Any: ...

# Numbers as the module reads them: a sequence, an array-like, or a matrix's elements in
# row-major order.
_Floats = Union[_FloatSequence, _SupportsArray, ZeltoMatrix]
# A matrix argument: a ZeltoMatrix, or a 2-D array-like read with its own shape, as
# ZeltoMatrix(a, rows, cols) reads it.
_Matrix = Union[ZeltoMatrix, _SupportsArray]

@final
class ZeltoMatrix:
    """A dense row-major matrix of float32; immutable, every operation returns a new object."""

    def __new__(cls, data: _Floats, rows: SupportsIndex, cols: SupportsIndex) -> ZeltoMatrix:
        """Builds a rows x cols matrix from rows * cols numbers in row-major order."""

    @classmethod
    def from_array(cls, a: _Matrix) -> ZeltoMatrix:
        """A matrix of the array's own shape: (rows, cols) for a 2-D array, (n, 1), one column,
        for a 1-D one; a ZeltoMatrix is returned as it is. TypeError for other dimensions."""

    def matmul(self, other: ZeltoMatrix) -> ZeltoMatrix:
        """The product self @ other, each element summed over the inner index in ascending order."""

    def add(self, val: _Float) -> ZeltoMatrix:
        """Every element plus val (rounded to float32 first)."""

    def mul(self, val: _Float) -> ZeltoMatrix:
        """Every element times val (rounded to float32 first)."""

    def transpose(self) -> ZeltoMatrix:
        """The cols x rows matrix with rows and columns exchanged; bits are copied unchanged."""

    def shape(self) -> tuple[int, int]:
        """The pair (rows, cols)."""

    def to_list(self) -> list[float]:
        """All elements in row-major order as one flat list."""

    @property
    def __array_interface__(self) -> dict[str, Any]:
        """The matrix's memory for numpy: numpy.asarray(m) is a read-only (rows, cols) float32
        view of it, made without copying, that keeps the matrix alive."""

    def __reduce__(self) -> Tuple[Callable[[bytes], ZeltoMatrix], Tuple[bytes]]:
        """(ZeltoMatrix._from_state, (state,)): the shape and raw float32 bytes, for pickle."""

    @classmethod
    def _from_state(cls, state: bytes) -> ZeltoMatrix:
        """The matrix a state from __reduce__ describes; ValueError for anything else."""

    def __copy__(self) -> ZeltoMatrix:
        """The matrix itself: it never changes."""

    def __deepcopy__(self, memo: Any, /) -> ZeltoMatrix:
        """The matrix itself: it never changes."""

@final
class ZeltoSolver:
    """Linear regression trained by full-batch gradient descent in float32."""

    def __new__(
        cls, lr: _Float, iters: SupportsIndex, *, canonical: bool = False
    ) -> ZeltoSolver:
        """An untrained model with learning rate lr that trains for iters steps per fit; with
        canonical=True its gradient sums are grouped the same way on every pool size."""

    @property
    def lr(self) -> float:
        """The learning rate, as float32."""

    @property
    def iters(self) -> int:
        """The number of descent steps of each fit."""

    @property
    def canonical(self) -> bool:
        """Whether the gradient sums are grouped canonically."""

    @property
    def weights(self) -> ZeltoMatrix:
        """A copy of the weights as an (m, 1) matrix; (0, 1) before any fit."""

    @property
    def bias(self) -> float:
        """The bias."""

    def fit(self, X: _Matrix, y: _Floats) -> None:
        """Trains from zero weights and bias on the rows of X against the targets y. X is a
        ZeltoMatrix or a 2-D array-like (numpy array, DataFrame); y one number per row (a
        sequence, a 1-D or one-column array, a Series). Fewer targets than rows are refused
        before the solver changes. A signal handler's exception (KeyboardInterrupt) stops it
        between steps, leaving the weights and bias of the last completed step."""

    def predict(self, X: _Matrix) -> list[float]:
        """One prediction per row of X: the bias plus the row's dot product with the weights."""

    def predict_matrix(self, X: _Matrix) -> ZeltoMatrix:
        """predict's values as a (rows, 1) matrix, which numpy.asarray reads without a list."""

    def gradient_sums(self, X: _Matrix, y: _Floats) -> Tuple[ZeltoMatrix, float]:
        """(g, g_b): the canonically grouped sums of e_i * X[i, j] and of e_i over all rows, with
        e_i = prediction_i - y_i at the current weights and bias, not divided by the row count."""

    def set_weights(self, weights: _Floats, bias: _Float) -> None:
        """Replaces the weights (a matrix's elements in row-major order, or numbers) and the
        bias."""

    def __reduce__(self) -> Tuple[Callable[[bytes], ZeltoSolver], Tuple[bytes]]:
        """(ZeltoSolver._from_state, (state,)): configuration, weights and bias, for pickle."""

    @classmethod
    def _from_state(cls, state: bytes) -> ZeltoSolver:
        """The solver a state from __reduce__ describes; ValueError for anything else."""

def run_heavy_logic(
    data: _Floats, iterations: SupportsIndex, *, canonical: bool = False
) -> float:
    """Drives each element through abs(tanf(cosf(sinf(x)))) iterations times; returns the sum,
    grouped canonically (the same bits on every pool size) with canonical=True."""

"""Bit-reproducible float32 matrices, linear regression and a trigonometric reduction.

Every number is rounded to the nearest float32 on the way in and widened exactly to a Python
float on the way out. Internal failures raise ``pyo3_runtime.PanicException``, a subclass of
``BaseException`` (not of ``Exception``) that is not an attribute of this module: catch it with
``except BaseException``.
"""

from typing import Any, Iterator, Protocol, SupportsFloat, SupportsIndex, Union, final, overload

__all__ = ["ZeltoMatrix", "ZeltoSolver", "run_heavy_logic"]

# Anything the module reads as one float: float, int, bool, numpy scalars, or any object with
# __float__ or __index__.
_Float = Union[SupportsFloat, SupportsIndex]

class _FloatSequence(Protocol):
    """A sequence of numbers: list, tuple, range, bytes, array.array, a numpy vector.

    One-dimensional numpy arrays of bool, integer or float16/32/64 elements, bytes, bytearray,
    numeric array.array and one-dimensional memoryview are read straight from memory, with the
    same floats item-by-item reading gives.

    Not str (its items are str) and not a mapping (the module refuses non-sequences; mappings
    take no slices, which is how this protocol tells them apart).
    """

    @overload
    def __getitem__(self, index: int, /) -> _Float: ...
    @overload
    def __getitem__(self, index: slice, /) -> object: ...
    def __iter__(self) -> Iterator[_Float]: ...

@final
class ZeltoMatrix:
    """A dense row-major matrix of float32; immutable, every operation returns a new object."""

    def __new__(cls, data: _FloatSequence, rows: SupportsIndex, cols: SupportsIndex) -> ZeltoMatrix:
        """Builds a rows x cols matrix from rows * cols numbers in row-major order."""

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

@final
class ZeltoSolver:
    """Linear regression trained by full-batch gradient descent in float32."""

    def __new__(cls, lr: _Float, iters: SupportsIndex) -> ZeltoSolver:
        """An untrained model with learning rate lr that trains for iters steps per fit."""

    def fit(self, X: ZeltoMatrix, y: _FloatSequence) -> None:
        """Trains from zero weights and bias on the rows of X against the targets y."""

    def predict(self, X: ZeltoMatrix) -> list[float]:
        """One prediction per row of X: the bias plus the row's dot product with the weights."""

def run_heavy_logic(data: _FloatSequence, iterations: SupportsIndex) -> float:
    """Drives each element through abs(tanf(cosf(sinf(x)))) iterations times; returns the sum."""

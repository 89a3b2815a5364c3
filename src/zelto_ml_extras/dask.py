"""Training a ``zelto_ml.ZeltoSolver`` on Dask arrays, with exactly the bits of a local fit.

``fit(solver, X, y)`` trains a solver made with ``canonical=True`` on a Dask array ``X`` of shape
(n, m), chunked along its rows, and targets ``y`` of shape (n,) or (n, 1); afterwards the solver
holds the weights and bias that ``solver.fit`` on the same data in one process gives, bit for
bit, whatever the chunking, the scheduler (synchronous, threads, processes or a
``distributed.Client``) and the number of workers. ``predict(solver, X)`` maps the solver over
the row chunks of ``X`` and returns a lazy Dask array of the predictions.

How: the rows are cut at the nodes of the halving tree that groups the solver's canonical sums,
and each worker process gets a run of neighbouring nodes, converted once into ``ZeltoMatrix``
objects and kept there (persisted) for the whole fit. Each step sends the weights and bias to
every worker once (on a cluster, a call of an actor that holds the worker's nodes), gets each
node's gradient sums back, adds them up the tree in float32 on the client and applies the
update as ``fit`` does.

Dask runs the work on whichever scheduler is active, as ``dask.compute`` would: the default
``distributed.Client`` if there is one, or the one chosen with ``dask.config.set(scheduler=...)``.
"""
import contextlib
import copy
import functools
import math
import operator
import sys
from typing import Any, Callable, List, Optional, Tuple

import dask
import dask.array as da
import numpy as np
from dask.base import annotate, compute, get_scheduler, persist
from dask.delayed import delayed
from dask.sizeof import sizeof

from zelto_ml import ZeltoMatrix, ZeltoSolver
from zelto_ml_extras._halving_tree import combine, node_ranges

__all__ = ["fit", "predict"]

# The NaN that the module stores for every NaN weight or bias.
_CANONICAL_NAN = np.array(0x7FC00000, dtype=np.uint32).view(np.float32)[()]


def _matrix_bytes(matrix: ZeltoMatrix) -> int:
    """A matrix's memory as Dask accounts it: without this Dask would count a node as a few
    bytes, and a cluster's scheduler would move nodes between workers as if they cost nothing."""
    rows, cols = matrix.shape()
    return rows * cols * 4 + 64


sizeof.register(ZeltoMatrix)(_matrix_bytes)


def fit(solver: ZeltoSolver, X: Any, y: Any, *, depth: Optional[int] = None) -> ZeltoSolver:
    """Trains ``solver`` on the rows of the Dask array ``X`` against the targets ``y``, as
    ``solver.fit`` does in one process, and returns the solver.

    ``solver`` must be made with ``canonical=True``; its ``lr`` and ``iters`` are used as they
    are. ``X`` is a 2-D array of a bool, integer or float dtype with one chunk along its columns;
    ``y`` holds one target per row, shape (n,) or (n, 1). NumPy arrays are taken as one chunk.
    ``depth`` sets how many levels of the halving tree the rows are cut into (2**depth chunks at
    most); it changes how the work is spread, never the result. By default the chunks are the
    fewest that spread the rows evenly over the active scheduler's worker processes.

    Raises TypeError or ValueError for bad arguments before any work is sent. The solver's old
    model is replaced once the rows are in place; if a step fails (for example when a worker is
    lost and its rows cannot be computed again) the error names the step, and the solver holds
    the weights and bias of the last completed step, as after an interrupted ``solver.fit``.
    """
    _check_solver(solver)
    X = _as_dask(X)
    y = _as_dask(y)
    _check_matrix(X)
    if math.isnan(X.shape[0]):
        raise ValueError("X has unknown chunk sizes along its rows; call X.compute_chunk_sizes() "
                         "first")
    n, m = X.shape
    _check_targets(y, n)
    if depth is not None:
        try:
            depth = operator.index(depth)
        except TypeError:
            raise TypeError(f"depth must be an int, not {type(depth).__name__}") from None
        if depth < 0:
            raise ValueError(f"depth must be 0 or more, got {depth}")
    places = _places()
    if depth is None:
        depth = _default_depth(len(places))

    if solver.iters == 0:
        solver.set_weights(np.zeros(m, dtype=np.float32), 0.0)
        return solver
    parts = _persist_parts(X, y, node_ranges(n, depth), places)
    _descend(solver, parts, X.shape, depth)
    return solver


def predict(solver: ZeltoSolver, X: Any) -> da.Array:
    """The predictions of ``solver`` for the rows of the Dask array ``X``: a lazy float32 Dask
    array of shape (n,), chunked like the rows of ``X``, each chunk computed by
    ``solver.predict_matrix`` where the rows are.

    The solver is copied when ``predict`` is called, so training it again later does not change
    the result. ``X`` is checked as for ``fit`` and must have at least one column and no more
    columns than the solver has weights.
    """
    _check_solver(solver, canonical=False)
    X = _as_dask(X)
    _check_matrix(X)
    weights = solver.weights.shape()[0]
    if X.shape[1] == 0:
        raise ValueError("X has no columns")
    if X.shape[1] > weights:
        raise ValueError(f"X has {X.shape[1]} columns but the solver has {weights} weights")
    predictions: da.Array = X.map_blocks(_predict_block, copy.copy(solver), drop_axis=1,
                                         dtype=np.float32, meta=np.empty((0,), np.float32))
    return predictions


def _descend(solver: ZeltoSolver, parts: Tuple[Any, ...], shape: Tuple[int, int],
             depth: int) -> None:
    """The solver's iters steps from zero weights and bias on the parts of an (n, m) X cut at
    depth, the nodes' sums of each step combined up the tree; the solver holds each step's
    model."""
    n, m = shape
    w = np.zeros(m, dtype=np.float32)
    b = np.float32(0.0)
    solver.set_weights(w, b)
    n_f = np.float32(n)
    lr = np.float32(solver.lr)
    run_step = _step_runner(parts)
    for step in range(solver.iters):
        try:
            sums = run_step(w, b)
        except Exception as exc:
            raise RuntimeError(f"fit on Dask stopped at step {step + 1} of {solver.iters}, the "
                               f"solver holding the model of step {step}: "
                               f"{type(exc).__name__}: {exc}") from exc
        g, g_b = combine(n, depth, [(g_node, np.float32(b_node))
                                    for part_sums in sums for g_node, b_node in part_sums])
        with np.errstate(all="ignore"):
            w = _canonical(w - ((g / n_f) * lr))
            b = _canonical(b - ((g_b / n_f) * lr))
        solver.set_weights(w, b)


def _step_runner(parts: Tuple[Any, ...], task: Optional[Callable[..., Any]] = None
                 ) -> Callable[[np.ndarray, np.float32], List[Any]]:
    """A step's work, task(part, w, b) for each part (_part_sums unless a benchmark passes
    another), and its results in part order: on a distributed.Client through an actor per part
    (_Holders), elsewhere as tasks through dask.compute."""
    run = task or _part_sums
    client = _client()
    if client is None:
        return lambda w, b: list(compute(*[_delayed(run)(part, w, b) for part in parts]))
    holders = _Holders(client, [client.futures_of(part)[0] for part in parts])
    return lambda w, b: holders.step(run, w, b)


class _PartHolder:
    """A Dask actor that keeps a reference to one part on the worker that holds it."""

    def __init__(self, part: Tuple[Tuple[ZeltoMatrix, np.ndarray], ...]) -> None:
        self.part = part

    def run(self, task: Callable[..., Any], w: np.ndarray, b: np.float32) -> Any:
        """task(part, w, b) on the worker."""
        return task(self.part, w, b)


class _Holders:
    """The actors of a fit's parts. A step calls each actor directly, one message to its worker
    and the answer, with no task for the scheduler to place (bench/dask_fit.md says what that
    saves). An actor does not survive its worker: when a call cannot reach it, the actors are
    made again from the parts' futures, for which Dask computes lost parts again from their
    source, and the step is repeated; its sums do not depend on where it runs."""

    # Worker losses one step survives before its error is raised.
    REMAKES = 3

    def __init__(self, client: Any, futures: List[Any]) -> None:
        self.client = client
        self.futures = futures
        self.made: List[Any] = []
        self.actors: List[Any] = []
        self.make()

    def make(self) -> None:
        """An actor per part, on the worker that holds the part now."""
        sys.modules["distributed"].wait(self.futures)
        holders = self.client.who_has(self.futures)
        self.made = []
        for future in self.futures:
            where = list(holders.get(future.key, ()))
            placement = {"workers": where, "allow_other_workers": True} if where else {}
            self.made.append(self.client.submit(_PartHolder, future, actor=True, pure=False,
                                                **placement))
        self.actors = [made.result() for made in self.made]

    def step(self, task: Callable[..., Any], w: np.ndarray, b: np.float32) -> List[Any]:
        """Every part's task(part, w, b), in part order."""
        remakes = 0
        while True:
            try:
                calls = [actor.run(task, w, b) for actor in self.actors]
                return [call.result() for call in calls]
            except OSError:
                if remakes == self.REMAKES:
                    raise
                remakes += 1
                self.make()


# Why each check exists: anything the workers would refuse must be refused here, before a task is
# sent, since a failure inside a task reaches the caller late and wrapped in the engine's report.

def _check_solver(solver: Any, canonical: bool = True) -> None:
    """Refuses what is not a ZeltoSolver and, for fit, a solver whose sums are not canonical:
    only the canonical grouping is the same on every machine."""
    if not isinstance(solver, ZeltoSolver):
        raise TypeError(f"solver must be a zelto_ml.ZeltoSolver, not {type(solver).__name__}")
    if canonical and not solver.canonical:
        raise ValueError("fit on Dask trains a solver made with canonical=True, whose sums are "
                         "grouped the same way on every machine; this one has canonical=False")


def _as_dask(data: Any) -> da.Array:
    """A Dask array as it is; anything else as one chunk."""
    if isinstance(data, da.Array):
        return data
    array = np.asarray(data)
    whole: da.Array = da.from_array(array, chunks=array.shape)
    return whole


def _check_matrix(X: da.Array) -> None:
    """A 2-D numeric X with one chunk along its columns."""
    if X.ndim != 2:
        raise ValueError(f"X must be 2-dimensional (rows, columns), got shape {X.shape}")
    _check_dtype(X, "X")
    if len(X.chunks[1]) != 1:
        raise ValueError(f"X must be chunked along its rows only, got {len(X.chunks[1])} chunks "
                         f"along its columns {X.chunks[1]}; use X.rechunk({{1: -1}})")


def _check_targets(y: da.Array, n: int) -> None:
    """One numeric target per row of X, as a vector or a column."""
    if y.ndim not in (1, 2) or (y.ndim == 2 and y.shape[1] != 1):
        raise ValueError(f"y must have shape (n,) or (n, 1), got shape {y.shape}")
    _check_dtype(y, "y")
    if math.isnan(y.shape[0]):
        raise ValueError("y has unknown chunk sizes; call y.compute_chunk_sizes() first")
    if y.shape[0] != n:
        raise ValueError(f"y has {y.shape[0]} targets but X has {n} rows")


def _check_dtype(array: da.Array, name: str) -> None:
    """The dtypes the module reads as numbers: bool, integers and floats."""
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must have a bool, integer or float dtype, not {array.dtype}")


def _places() -> List[Optional[str]]:
    """One entry per worker process of the active scheduler: each distributed worker's address,
    or None for each process of a local scheduler (one for the synchronous and threaded ones)."""
    client = _client()
    if client is not None:
        return list(_worker_addresses(client)) or [None]
    multiprocessing = sys.modules.get("dask.multiprocessing")
    if multiprocessing is not None and get_scheduler() is multiprocessing.get:
        return [None] * int(dask.config.get("num_workers", None) or multiprocessing.CPU_COUNT)
    return [None]


def _default_depth(processes: int) -> int:
    """The smallest depth whose nodes spread over the processes with none holding more than
    1.25 times its share. A process computes its nodes one after another, each on all its
    cores (the module keeps the interpreter lock while its own threads compute)."""
    nodes = 1
    while nodes < processes or math.ceil(nodes / processes) * processes * 4 > nodes * 5:
        nodes *= 2
    return nodes.bit_length() - 1


def _client() -> Any:
    """The distributed.Client that dask.compute would use now, or None."""
    distributed = sys.modules.get("distributed")
    client = getattr(get_scheduler(), "__self__", None)
    if distributed is not None and isinstance(client, distributed.Client):
        return client
    return None


def _worker_addresses(client: Any) -> List[str]:
    """The client's worker processes, in a fixed order (scheduler_info lists only the first few
    workers in recent releases, nthreads all of them in every release)."""
    return sorted(client.nthreads())


def _persist_parts(X: da.Array, y: da.Array, ranges: List[Tuple[int, int]],
                   places: List[Optional[str]]) -> Tuple[Any, ...]:
    """The nodes' rows of X and y as module objects, in one part per place: a run of
    neighbouring nodes, converted and kept for the whole fit at that place, so that every
    worker holds its share whatever worker the data came from, and a step is one call per
    worker. A part moves only when its worker is lost: Dask computes it again elsewhere."""
    sizes = tuple(hi - lo for lo, hi in ranges)
    x_blocks = X.rechunk((sizes, X.chunks[1])).to_delayed().ravel()
    y_blocks = y.rechunk((sizes,) + y.chunks[1:]).to_delayed().ravel()
    parts = []
    for k, place in enumerate(places):
        run = range(k * len(ranges) // len(places), (k + 1) * len(ranges) // len(places))
        if not run:
            continue
        with (annotate(workers=[place], allow_other_workers=True) if place is not None
              else contextlib.nullcontext()):
            nodes = [_delayed(_make_node)(x_blocks[i], y_blocks[i]) for i in run]
            parts.append(_delayed(tuple)(nodes))
    persisted: Tuple[Any, ...] = persist(*parts)
    return persisted


def _delayed(function: Callable[..., Any]) -> Any:
    """function as a Dask task that is run again, never looked up by its arguments' hash."""
    return delayed(function, pure=False)


def _canonical(values: Any) -> Any:
    """values with every NaN made the module's canonical NaN, as fit stores them."""
    return np.where(np.isnan(values), _CANONICAL_NAN, values).astype(np.float32)[()]


# The tasks. The module raises its internal failures as PanicException, which derives from
# BaseException; a worker must see an ordinary exception to report it.

def _ordinary_errors(function: Callable[..., Any]) -> Callable[..., Any]:
    """function with PanicException turned into RuntimeError with its message."""
    @functools.wraps(function)
    def task(*args: Any) -> Any:
        try:
            return function(*args)
        except Exception:
            raise
        except BaseException as exc:
            if type(exc).__name__ != "PanicException":
                raise
            raise RuntimeError(str(exc)) from None
    return task


@_ordinary_errors
def _make_node(x_block: Any, y_block: Any) -> Tuple[ZeltoMatrix, np.ndarray]:
    """A node's rows as a ZeltoMatrix and its targets as float32, converted as fit converts X
    and y (non-native byte order swapped first, which leaves every value as it is)."""
    x = _native(x_block)
    y = _native(y_block)
    targets = np.asarray(ZeltoMatrix(y, y.shape[0], 1)).ravel()
    return ZeltoMatrix(x, x.shape[0], x.shape[1]), targets


@_ordinary_errors
def _part_sums(part: Tuple[Tuple[ZeltoMatrix, np.ndarray], ...], w: np.ndarray,
               b: np.float32) -> List[Tuple[np.ndarray, float]]:
    """Each node's canonical gradient sums at weights w and bias b, in node order."""
    solver = ZeltoSolver(0.0, 0, canonical=True)
    solver.set_weights(w, b)
    sums = []
    for x, targets in part:
        g, g_b = solver.gradient_sums(x, targets)
        sums.append((np.array(g, dtype=np.float32).ravel(), g_b))
    return sums


@_ordinary_errors
def _predict_block(x_block: Any, solver: ZeltoSolver) -> np.ndarray:
    """The predictions for one chunk of rows, as a writable float32 vector."""
    x = _native(x_block)
    return np.array(solver.predict_matrix(ZeltoMatrix(x, x.shape[0], x.shape[1]))).ravel()


def _native(block: Any) -> np.ndarray:
    """block as an ndarray in native byte order, which the module reads from memory."""
    array = np.asarray(block)
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    return array

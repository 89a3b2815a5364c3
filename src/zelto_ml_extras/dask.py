"""Training a ``zelto_ml.ZeltoSolver`` on Dask arrays, with exactly the bits of a local fit.

``fit(solver, X, y)`` trains a solver made with ``canonical=True`` on a Dask array ``X`` of shape
(n, m), chunked along its rows, and targets ``y`` of shape (n,) or (n, 1); afterwards the solver
holds the weights and bias that ``solver.fit`` on the same data in one process gives, bit for
bit, whatever the chunking, the scheduler (synchronous, threads, processes or a
``distributed.Client``) and the number of workers. ``predict(solver, X)`` maps the solver over
the row chunks of ``X`` and returns a lazy Dask array of the predictions.

How: the rows are cut at the nodes of the halving tree that groups the solver's canonical sums,
each node is converted once into a ``ZeltoMatrix`` where it is computed and kept there (persisted)
for the whole fit. Each step sends the weights and bias to the nodes, gets every node's gradient
sums back, adds them up the tree in float32 on the client and applies the update as ``fit`` does.

Dask runs the work on whichever scheduler is active, as ``dask.compute`` would: the default
``distributed.Client`` if there is one, or the one chosen with ``dask.config.set(scheduler=...)``.
"""
import copy
import math
import sys
from typing import Any, Callable, List, Optional, Tuple

import dask
import dask.array as da
import numpy as np

from zelto_ml import ZeltoMatrix, ZeltoSolver
from zelto_ml_extras._halving_tree import combine, node_ranges

__all__ = ["fit", "predict"]

# The NaN that the module stores for every NaN weight or bias.
_CANONICAL_NAN = np.array(0x7FC00000, dtype=np.uint32).view(np.float32)[()]


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
    if depth is None:
        depth = _default_depth()
    elif not isinstance(depth, int) or isinstance(depth, bool):
        raise TypeError(f"depth must be an int, not {type(depth).__name__}")
    elif depth < 0:
        raise ValueError(f"depth must be 0 or more, got {depth}")

    if solver.iters == 0:
        solver.set_weights(np.zeros(m, dtype=np.float32), 0.0)
        return solver
    nodes = _persist_nodes(X, y, node_ranges(n, depth))
    _descend(solver, nodes, X.shape, depth)
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
    return X.map_blocks(_predict_block, copy.copy(solver), drop_axis=1, dtype=np.float32,
                        meta=np.empty((0,), dtype=np.float32))


def _descend(solver: ZeltoSolver, nodes: Tuple[Any, ...], shape: Tuple[int, int],
             depth: int) -> None:
    """The solver's iters steps from zero weights and bias on the nodes of an (n, m) X cut at
    depth, each step's sums combined up the tree; the solver holds each step's model."""
    n, m = shape
    w = np.zeros(m, dtype=np.float32)
    b = np.float32(0.0)
    solver.set_weights(w, b)
    n_f = np.float32(n)
    lr = np.float32(solver.lr)
    for step in range(solver.iters):
        try:
            sums = dask.compute(*[_delayed(_node_sums)(node, w, b) for node in nodes])
        except Exception as exc:
            raise RuntimeError(f"fit on Dask stopped at step {step + 1} of {solver.iters}, the "
                               f"solver holding the model of step {step}: "
                               f"{type(exc).__name__}: {exc}") from exc
        g, g_b = combine(n, depth, [(g_node, np.float32(b_node)) for g_node, b_node in sums])
        with np.errstate(all="ignore"):
            w = _canonical(w - ((g / n_f) * lr))
            b = _canonical(b - ((g_b / n_f) * lr))
        solver.set_weights(w, b)


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
    return da.from_array(array, chunks=array.shape)


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


def _default_depth() -> int:
    """The smallest depth whose nodes spread over the scheduler's worker processes with no
    process holding more than 1.25 times its share: each node is one task per step, and a
    process runs its tasks one after another on all its cores (the module keeps the
    interpreter lock while its own threads compute)."""
    client = _client()
    multiprocessing = sys.modules.get("dask.multiprocessing")
    if client is not None:
        processes = max(len(_worker_addresses(client)), 1)
    elif multiprocessing is not None and dask.base.get_scheduler() is multiprocessing.get:
        processes = int(dask.config.get("num_workers", None) or multiprocessing.CPU_COUNT)
    else:
        processes = 1
    nodes = 1
    while nodes < processes or math.ceil(nodes / processes) * processes * 4 > nodes * 5:
        nodes *= 2
    return nodes.bit_length() - 1


def _client() -> Any:
    """The distributed.Client that dask.compute would use now, or None."""
    distributed = sys.modules.get("distributed")
    client = getattr(dask.base.get_scheduler(), "__self__", None)
    if distributed is not None and isinstance(client, distributed.Client):
        return client
    return None


def _worker_addresses(client: Any) -> List[str]:
    """The client's worker processes, in a fixed order."""
    return sorted(client.scheduler_info(n_workers=-1)["workers"])


def _persist_nodes(X: da.Array, y: da.Array, ranges: List[Tuple[int, int]]) -> Tuple[Any, ...]:
    """Each node's rows of X and y as module objects, computed and kept for the whole fit where
    the scheduler computes; on a cluster, runs of neighbouring nodes on each worker in turn, so
    every worker holds its share whatever worker the data came from (a node can still move to
    another worker, when its own is lost)."""
    sizes = tuple(hi - lo for lo, hi in ranges)
    x_blocks = X.rechunk((sizes, X.chunks[1])).to_delayed().ravel()
    y_blocks = y.rechunk((sizes,) + y.chunks[1:]).to_delayed().ravel()
    client = _client()
    addresses = _worker_addresses(client) if client is not None else []
    nodes = []
    for i, (x_block, y_block) in enumerate(zip(x_blocks, y_blocks)):
        if addresses:
            with dask.annotate(workers=[addresses[i * len(addresses) // len(ranges)]],
                               allow_other_workers=True):
                nodes.append(_delayed(_make_node)(x_block, y_block))
        else:
            nodes.append(_delayed(_make_node)(x_block, y_block))
    return dask.persist(*nodes)


def _delayed(function: Callable[..., Any]) -> Any:
    """function as a Dask task that is run again, never looked up by its arguments' hash."""
    return dask.delayed(function, pure=False)


def _canonical(values: Any) -> Any:
    """values with every NaN made the module's canonical NaN, as fit stores them."""
    return np.where(np.isnan(values), _CANONICAL_NAN, values).astype(np.float32)[()]


# The tasks. The module raises its internal failures as PanicException, which derives from
# BaseException; a worker must see an ordinary exception to report it.

def _ordinary_errors(function: Callable[..., Any]) -> Callable[..., Any]:
    """function with PanicException turned into RuntimeError with its message."""
    def task(*args: Any) -> Any:
        try:
            return function(*args)
        except Exception:
            raise
        except BaseException as exc:
            if type(exc).__name__ != "PanicException":
                raise
            raise RuntimeError(str(exc)) from None
    task.__name__ = task.__qualname__ = function.__name__
    task.__doc__ = function.__doc__
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
def _node_sums(node: Tuple[ZeltoMatrix, np.ndarray], w: np.ndarray,
               b: np.float32) -> Tuple[np.ndarray, float]:
    """The node's canonical gradient sums at weights w and bias b."""
    x, targets = node
    solver = ZeltoSolver(0.0, 0, canonical=True)
    solver.set_weights(w, b)
    g, g_b = solver.gradient_sums(x, targets)
    return np.array(g, dtype=np.float32).ravel(), g_b


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

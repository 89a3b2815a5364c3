"""Fitting on Dask arrays: the bits of the local canonical fit for every chunking, tree depth,
scheduler and cluster shape; predictions as Dask arrays; a worker killed during a fit; bad input
refused before any work is sent."""
import os
import re
import signal
import threading
import time
from pathlib import Path

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

from conftest import run_python  # noqa: E402
from zelto_ml import ZeltoMatrix, ZeltoSolver  # noqa: E402
from zelto_ml_extras import dask as zd  # noqa: E402
from zelto_ml_extras._halving_tree import node_ranges  # noqa: E402

LR, ITERS = 0.05, 4
# Worker processes gain nothing from a sanitizer's preloaded runtime, only slowness.
starts_processes = pytest.mark.skipif(bool(os.environ.get("ZELTO_SANITIZER")),
                                      reason="starts worker processes; checked in the plain run")


def data(n=1003, m=7, dtype=np.float32, seed=3):
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal((n, m)) * 4).astype(dtype)
    if n and m:
        x[0, 0] = -0.0
    y = rng.standard_normal(n).astype(np.float32)
    return x, y


def local_fit(x, y, lr=LR, iters=ITERS):
    solver = ZeltoSolver(lr, iters, canonical=True)
    solver.fit(ZeltoMatrix(x.ravel(), *x.shape), np.ravel(y))
    return solver


def model_bits(solver):
    return np.asarray(solver.weights).tobytes(), np.float32(solver.bias).tobytes()


def dask_fit(X, y, lr=LR, iters=ITERS, **kwargs):
    return zd.fit(ZeltoSolver(lr, iters, canonical=True), X, y, **kwargs)


X_DATA, Y_DATA = data()
WANT = model_bits(local_fit(X_DATA, Y_DATA))
# One chunk, even chunks, uneven chunks that straddle every node boundary, and chunks of
# one row at the ends.
CHUNKINGS = [(1003,), (250, 250, 250, 253), (1, 400, 17, 300, 284, 1)]


def test_node_ranges_follow_the_halving_tree():
    assert node_ranges(11, 2) == [(0, 2), (2, 5), (5, 8), (8, 11)]
    assert node_ranges(3, 5) == [(0, 1), (1, 2), (2, 3)]  # single rows stay leaves
    assert node_ranges(0, 3) == [(0, 0)]


def test_dask_counts_a_node_at_its_size():
    """Otherwise a cluster's scheduler moves nodes between workers as if they were free."""
    from dask.sizeof import sizeof
    assert sizeof(ZeltoMatrix(np.zeros(1000), 250, 4)) >= 4000


@pytest.mark.parametrize("scheduler", ["sync", "threads"])
def test_local_schedulers_give_the_local_bits(scheduler):
    with dask.config.set(scheduler=scheduler):
        for chunks in CHUNKINGS:
            X = da.from_array(X_DATA, chunks=(chunks, 7))
            y = da.from_array(Y_DATA, chunks=chunks[::-1])
            for depth in (None, 0, 1, 3, 6):
                assert model_bits(dask_fit(X, y, depth=depth)) == WANT, (chunks, depth)


@starts_processes
def test_the_processes_scheduler_gives_the_local_bits():
    """Two processes: two nodes, each sent to a process at every step."""
    with dask.config.set(scheduler="processes", num_workers=2):
        X = da.from_array(X_DATA, chunks=(CHUNKINGS[2], 7))
        assert model_bits(dask_fit(X, Y_DATA)) == WANT


def test_every_numeric_input_gives_the_local_bits():
    """Each dtype is converted as ZeltoMatrix and fit convert it, non-native byte order included;
    y may be a column, a list or another dtype; NumPy arrays are taken whole."""
    big = np.array([[2**60 + 2**36 + 1, -3], [7, 2**31 + 1]] * 40, dtype=np.int64)
    with dask.config.set(scheduler="sync"):
        for x in (X_DATA.astype(np.float64), X_DATA.astype(">f8"), X_DATA.astype(np.int16),
                  X_DATA > 0, X_DATA.astype(np.float16), big):
            y = Y_DATA[:len(x)].astype(np.float64)
            want = model_bits(local_fit(x, y))
            X = da.from_array(x, chunks=(77, -1))
            assert model_bits(dask_fit(X, da.from_array(y[:, None], chunks=(50, 1)))) == want
            assert model_bits(dask_fit(x, y.tolist())) == want


def test_edge_shapes_train_as_locally():
    """No rows: every weight and the bias are the canonical NaN. No columns: the bias alone.
    No steps: zeros, without computing anything."""
    with dask.config.set(scheduler="sync"):
        for x, y in (data(n=0), data(m=0), data(n=1), data(n=3)):
            X = da.from_array(x, chunks=(max(len(x), 1), -1))
            for depth in (None, 5):  # rows fewer than the nodes: single rows stay whole
                assert model_bits(dask_fit(X, da.from_array(y), depth=depth)) == model_bits(
                    local_fit(x, y))
        nan_model = dask_fit(da.zeros((0, 3), chunks=(1, 3)), da.zeros(0))
        assert np.asarray(nan_model.weights).view(np.uint32).tolist() == [[0x7FC00000]] * 3
        unread = da.from_delayed(dask.delayed(failing_source)(), (10, 2), np.float32)
        assert model_bits(dask_fit(unread, np.ones(10), iters=0)) == model_bits(
            local_fit(np.ones((10, 2), np.float32), np.ones(10), iters=0))


def failing_source():
    raise AssertionError("the data was read")


def test_predict_gives_a_dask_array_of_the_local_predictions():
    solver = local_fit(X_DATA, Y_DATA)
    want = np.asarray(solver.predict_matrix(ZeltoMatrix(X_DATA, *X_DATA.shape))).ravel()
    X = da.from_array(X_DATA.astype(">f4"), chunks=(CHUNKINGS[2], 7))
    predicted = zd.predict(solver, X)
    solver.set_weights(np.zeros(7), 0.0)  # the predictions keep the model of the call
    assert isinstance(predicted, da.Array) and predicted.dtype == np.float32
    assert predicted.chunks == (CHUNKINGS[2],)
    with dask.config.set(scheduler="threads"):
        got = predicted.compute()
    assert got.tobytes() == want.tobytes() and got.flags.writeable
    narrow = zd.predict(solver, da.ones((3, 5), chunks=(2, 5))).compute(scheduler="sync")
    assert narrow.tolist() == solver.predict(ZeltoMatrix(np.ones(15), 3, 5))


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes of two threads each, their pools of three workers running the
    baseline kernels, whatever variant this process runs."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                                  dashboard_address=":0",
                                  env={"RAYON_NUM_THREADS": "3", "ZELTO_ISA": "baseline"}) as c:
        yield c


@starts_processes
def test_clusters_give_the_local_bits(cluster):
    with distributed.Client(cluster) as client:
        assert set(client.run(lambda: os.environ.get("ZELTO_ISA")).values()) == {"baseline"}
        for chunks in CHUNKINGS:
            X = da.from_array(X_DATA, chunks=(chunks, 7))
            for depth in (None, 0, 3):
                assert model_bits(dask_fit(X, Y_DATA, depth=depth)) == WANT, (chunks, depth)
        # Hundreds of steps: each part's actor is made where the part is, no part is copied.
        x, y = data(n=20_000, m=16)
        with distributed.get_task_stream(client) as stream:
            solver = dask_fit(da.from_array(x, chunks=(3000, 16)), y, iters=300)
        assert model_bits(solver) == model_bits(local_fit(x, y, iters=300))
        assert not [part for record in stream.data for part in record["startstops"]
                    if part["action"] == "transfer"
                    and str(record["key"]).startswith(("_PartHolder", "_part_sums"))]
        solver = local_fit(X_DATA, Y_DATA)
        got = zd.predict(solver, da.from_array(X_DATA, chunks=(100, 7))).compute()
        assert got.tolist() == solver.predict(ZeltoMatrix(X_DATA, *X_DATA.shape))
    # One process of one thread, and three processes of one thread: the default depth gives one
    # and eight nodes.
    for workers in (1, 3):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=":0") as other, \
                distributed.Client(other):
            X = da.from_array(X_DATA, chunks=(CHUNKINGS[1], 7))
            assert model_bits(dask_fit(X, da.from_array(Y_DATA, chunks=100))) == WANT


def fit_killing_a_worker(client, victim, solver, X, y):
    """fit while the worker process at address victim is killed after the first step, which
    must happen before the fit ends."""
    pid = client.run(os.getpid, workers=[victim])[victim]
    killed = []

    def kill_after_the_first_step():
        while solver.bias == 0.0:
            time.sleep(0.001)
        os.kill(pid, signal.SIGKILL)
        killed.append(time.monotonic())

    killer = threading.Thread(target=kill_after_the_first_step)
    killer.start()
    try:
        zd.fit(solver, X, y)
    finally:
        finished = time.monotonic()
        killer.join()
        assert killed and killed[0] < finished
        client.wait_for_workers(2, timeout=30)  # the nanny's new worker, for the next test


@starts_processes
def test_a_worker_killed_during_the_fit_changes_nothing(cluster):
    """Dask computes the lost worker's rows again from their source and the fit goes on to the
    local bits; rows that exist only on that worker (scattered from the client) stop the fit
    with an error naming the step, the solver holding the local model of the steps before."""
    x, y = data(n=20_000, m=16)
    iters = 150
    with distributed.Client(cluster) as client:
        victim = min(client.nthreads())  # it holds the first nodes
        solver = ZeltoSolver(LR, iters, canonical=True)
        fit_killing_a_worker(client, victim, solver, da.from_array(x, chunks=(3000, 16)), y)
        assert model_bits(solver) == model_bits(local_fit(x, y, iters=iters))

        # Each half of the rows scattered to the worker that holds its node, the first to the
        # victim: its rows have no other copy and no source.
        workers = sorted(client.nthreads())
        victim = workers[0]
        X = da.concatenate([da.from_delayed(client.scatter(half, workers=[worker]), half.shape,
                                            half.dtype)
                            for half, worker in zip(np.split(x, 2), workers)])
        solver = ZeltoSolver(LR, iters, canonical=True)
        with pytest.raises(RuntimeError) as info:
            fit_killing_a_worker(client, victim, solver, X, y)
        found = re.match(r"fit on Dask stopped at step (\d+) of 150, the solver holding the model "
                         r"of step (\d+): \w+CancelledError: ", str(info.value))
        assert found and int(found[1]) == int(found[2]) + 1, str(info.value)
        assert model_bits(solver) == model_bits(local_fit(x, y, iters=int(found[2])))


def unreadable(shape, dtype=np.float32, column_chunks=None):
    """A Dask array whose every chunk fails when computed: nothing may read it."""
    blocks = [da.from_delayed(dask.delayed(failing_source)(), (shape[0], c), dtype)
              for c in column_chunks or shape[1:]]
    return da.concatenate(blocks, axis=1) if len(shape) == 2 else \
        da.from_delayed(dask.delayed(failing_source)(), shape, dtype)


CANONICAL = ZeltoSolver(0.1, 1, canonical=True)


@pytest.mark.parametrize("make, error, message", [
    (lambda: ("solver", unreadable((3, 2)), np.ones(3)), TypeError,
     "solver must be a zelto_ml.ZeltoSolver, not str"),
    (lambda: (ZeltoSolver(0.1, 1), unreadable((3, 2)), np.ones(3)), ValueError,
     "fit on Dask trains a solver made with canonical=True, whose sums are grouped the same way "
     "on every machine; this one has canonical=False"),
    (lambda: (CANONICAL, unreadable((5,)), np.ones(5)), ValueError,
     "X must be 2-dimensional (rows, columns), got shape (5,)"),
    (lambda: (CANONICAL, unreadable((4, 10), column_chunks=(4, 4, 2)), np.ones(4)), ValueError,
     "X must be chunked along its rows only, got 3 chunks along its columns (4, 4, 2); "
     "use X.rechunk({1: -1})"),
    (lambda: (CANONICAL, unreadable((4, 3), column_chunks=(2, 1)), np.ones(4)), ValueError,
     "X must be chunked along its rows only, got 2 chunks along its columns (2, 1); "
     "use X.rechunk({1: -1})"),
    (lambda: (CANONICAL, unreadable((1, 1), "<U1"), [1.0]), TypeError,
     "X must have a bool, integer or float dtype, not <U1"),
    (lambda: (CANONICAL, unreadable((2, 2), complex), [1.0, 2.0]), TypeError,
     "X must have a bool, integer or float dtype, not complex128"),
    (lambda: (CANONICAL, unreadable((3, 2)), np.ones(4)), ValueError,
     "y has 4 targets but X has 3 rows"),
    (lambda: (CANONICAL, unreadable((3, 2)), unreadable((3, 2))), ValueError,
     "y must have shape (n,) or (n, 1), got shape (3, 2)"),
    (lambda: (CANONICAL, unreadable((3, 2)), unreadable((3,), object)), TypeError,
     "y must have a bool, integer or float dtype, not object"),
    (lambda: (CANONICAL, unreadable((3, 2))[unreadable((3,), bool)], np.ones(3)), ValueError,
     "X has unknown chunk sizes along its rows; call X.compute_chunk_sizes() first"),
])
def test_bad_input_is_refused_before_any_work(make, error, message):
    solver, X, y = make()
    weights = model_bits(CANONICAL)
    with dask.config.set(scheduler="sync"), pytest.raises(error) as info:
        zd.fit(solver, X, y)
    assert str(info.value) == message
    assert model_bits(CANONICAL) == weights


def test_module_failures_on_a_worker_arrive_as_runtime_errors():
    """PanicException derives from BaseException, which a worker would not report as a task's
    error."""
    with pytest.raises(RuntimeError) as info:
        zd._predict_block(np.ones((2, 0), np.float32), ZeltoSolver(0.1, 1))
    assert str(info.value) == "chunk_size must not be zero"


def test_bad_predict_and_depth_arguments():
    solver = local_fit(X_DATA, Y_DATA)
    for X, message in ((da.ones((2, 8)), "X has 8 columns but the solver has 7 weights"),
                       (da.ones((2, 0)), "X has no columns")):
        with pytest.raises(ValueError) as info:
            zd.predict(solver, X)
        assert str(info.value) == message
    for depth, error, message in ((-1, ValueError, "depth must be 0 or more, got -1"),
                                  (1.0, TypeError, "depth must be an int, not float")):
        with pytest.raises(error) as info:
            dask_fit(da.ones((2, 2)), np.ones(2), depth=depth)
        assert str(info.value) == message


@starts_processes
def test_the_guide_example_trains_the_local_model():
    guide = (Path(__file__).resolve().parents[2] / "docs" / "guide.md").read_text()
    section = guide[guide.index("## More than one machine"):]
    example = re.search(r"```py\n(.*?)```", section, re.S).group(1)
    proc = run_python(example, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "True True"


@starts_processes
def test_importing_the_packages_leaves_dask_alone():
    proc = run_python("""
        import sys
        import zelto_ml, zelto_ml_extras
        assert not {"dask", "distributed"} & set(sys.modules), "imported too early"
        import zelto_ml_extras.dask
        assert "distributed" not in sys.modules, "distributed imported"
        print("ok")
    """)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr

"""Several Python threads using every operation at once, on shared and private objects, get the
results a single thread gets; a fatal error on one thread leaves the pool serving the others."""
import threading

import numpy as np
import pytest

import float32_reference as ref
from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

THREADS = 6
ROUNDS = 40

rng = np.random.default_rng(23)
X = rng.standard_normal((300, 24)).astype(np.float32)
B = rng.standard_normal((24, 17)).astype(np.float32)
SHARED_X = ZeltoMatrix(X.ravel().tolist(), *X.shape)
SHARED_B = ZeltoMatrix(B.ravel().tolist(), *B.shape)


def workload(x, b, solver):
    """Every operation once; fit uses one row so its sums do not depend on the pool's division."""
    solver.fit(ZeltoMatrix(X[:1].ravel().tolist(), 1, X.shape[1]), [0.5])
    return [x.matmul(b).to_list(), x.add(0.5).to_list(), x.mul(-3.0).to_list(),
            x.transpose().to_list(), list(x.shape()), solver.predict(x),
            [run_heavy_logic([0.25], 3)]]


def expected():
    solver = ZeltoSolver(0.1, 2)
    return workload(SHARED_X, SHARED_B, solver)


def run_threads(target, count=THREADS):
    errors = []

    def guarded(index):
        try:
            target(index)
        except BaseException as error:  # PanicException is a BaseException
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
        assert not t.is_alive(), "a thread hung"
    return errors


def test_threads_get_single_thread_results():
    want = expected()
    shared_solver = ZeltoSolver(0.1, 2)
    shared_solver.fit(ZeltoMatrix(X[:1].ravel().tolist(), 1, X.shape[1]), [0.5])

    def target(index):
        private_x = ZeltoMatrix(X.ravel().tolist(), *X.shape)
        private_solver = ZeltoSolver(0.1, 2)
        for _ in range(ROUNDS):
            x, b = (SHARED_X, SHARED_B) if index % 2 else (private_x, SHARED_B)
            got = workload(x, b, private_solver)
            for g, w in zip(got, want):
                ref.assert_same_floats(g, w)
            ref.assert_same_floats(shared_solver.predict(SHARED_X), want[5])

    assert run_threads(target) == []


def test_fatal_error_on_one_thread_leaves_the_pool_serving_the_others():
    want = expected()
    wide = ZeltoMatrix([1.0] * 2000 * 3, 2000, 3)
    panics = []

    def target(index):
        for _ in range(ROUNDS):
            if index == 0:
                try:
                    ZeltoSolver(0.5, 1).fit(wide, [1.0] * 1500)  # short targets: fatal in workers
                except BaseException as error:
                    panics.append(str(error))
            else:
                got = workload(SHARED_X, SHARED_B, ZeltoSolver(0.1, 2))
                ref.assert_same_floats(got[0], want[0])
                ref.assert_same_floats(got[5], want[5])

    assert run_threads(target) == []
    assert panics == [ref.out_of_bounds(1500)] * ROUNDS
    ref.assert_same_floats(SHARED_X.matmul(SHARED_B).to_list(), want[0])


def test_refitting_a_shared_solver_from_many_threads_is_serialised():
    """fit takes the solver exclusively; with the interpreter lock held for the whole call,
    threads never see one another's borrow, so every fit succeeds."""
    solver = ZeltoSolver(0.5, 1)
    a = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)

    def target(index):
        for _ in range(ROUNDS):
            solver.fit(a, [1.0, 2.0])
            assert solver.predict(a) == [7.5, 16.0]

    assert run_threads(target) == []


@pytest.mark.parametrize("threads", [1, 3])
def test_threads_in_a_fresh_process_of_each_pool_size(pool_run, threads):
    """The same from the first call of a process on, so that pool creation itself is raced."""
    code = """
        import json, threading
        from zelto_ml import ZeltoMatrix, run_heavy_logic
        out = [None] * 8
        def work(i):
            a = ZeltoMatrix([float(k % 7) for k in range(400)], 20, 20)
            out[i] = [a.matmul(a).to_list(), run_heavy_logic([0.5], 2)]
        ts = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        [t.start() for t in ts]
        [t.join() for t in ts]
        print(json.dumps(all(o == out[0] for o in out) and out[0] is not None))
    """
    assert pool_run(threads, code) is True

"""Fork and memory exhaustion: a forked child uses the pool and the parent goes on; allocations
too large for the machine raise MemoryError and the interpreter keeps working."""
import multiprocessing
import os

import pytest
from conftest import run_python

from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic


def pool_child(queue):
    a = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    queue.put([a.matmul(a).to_list(), run_heavy_logic([1.0, 2.0, 3.0], 0)])


def test_forked_child_uses_the_pool_and_parent_keeps_working():
    a = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    assert a.matmul(a).to_list() == [7.0, 10.0, 15.0, 22.0]  # the pool exists before the fork
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    children = [context.Process(target=pool_child, args=(queue,)) for _ in range(3)]
    for child in children:
        child.start()
    results = [queue.get(timeout=120) for _ in children]
    for child in children:
        child.join(timeout=120)
        assert child.exitcode == 0
    assert results == [[[7.0, 10.0, 15.0, 22.0], 6.0]] * 3
    assert a.matmul(a).to_list() == [7.0, 10.0, 15.0, 22.0]
    assert run_heavy_logic([1.0] * 1000, 1) > 0.0


def still_working():
    a = ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)
    assert a.matmul(a).to_list() == [7.0, 10.0, 15.0, 22.0]
    s = ZeltoSolver(0.5, 1)
    s.fit(a, [1.0, 2.0])
    assert s.predict(a) == [7.5, 16.0]


# Sizes below the 2^61-element limit (so not "capacity overflow") that no machine can provide.
@pytest.mark.parametrize("call", [
    pytest.param(lambda: ZeltoMatrix([], 10**9, 0).matmul(ZeltoMatrix([], 0, 10**9)),
                 id="matmul of 10^18 elements"),
    pytest.param(lambda: ZeltoSolver(0.1, 1).fit(ZeltoMatrix([], 0, 10**17), []),
                 id="fit with 10^17 weights"),
])
def test_impossible_allocation_raises_memory_error(call):
    for _ in range(2):
        try:
            call()
        except MemoryError:
            pass
        else:
            pytest.fail("an impossible allocation succeeded")
        still_working()


# Under an address-space limit, the result list itself (20M slots) or its float items (2M
# floats after the list) cannot be allocated: MemoryError, and nothing on standard error.
@pytest.mark.skipif(bool(os.environ.get("ZELTO_SANITIZER")),
                    reason="the sanitizer's allocator does not honour a small address-space limit")
@pytest.mark.parametrize("elements, headroom_mib", [(20_000_000, 64), (2_000_000, 24)])
def test_result_list_out_of_memory_is_memory_error(elements, headroom_mib):
    proc = run_python(f"""
        import resource
        from zelto_ml import ZeltoMatrix
        m = ZeltoMatrix(bytes({elements}), {elements}, 1)
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + ({headroom_mib} << 20), resource.RLIM_INFINITY))
        try:
            m.to_list()
        except MemoryError:
            print("MemoryError")
    """)
    assert (proc.stdout, proc.stderr) == ("MemoryError\n", "")


# A pool far too large for an address-space limit: its start fails as an exception on every
# call, never by ending the process, and once the limit is lifted the next call builds the pool.
@pytest.mark.skipif(bool(os.environ.get("ZELTO_SANITIZER")),
                    reason="the sanitizer's allocator does not honour a small address-space limit")
def test_pool_start_under_address_space_limit_raises_then_recovers():
    code = """
        import resource
        from zelto_ml import ZeltoMatrix
        a = ZeltoMatrix([1.0], 1, 1)
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        usual = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (200 << 20), usual[1]))
        for _ in range(5):
            try:
                a.add(1)
            except BaseException as error:
                print(type(error).__name__)
        resource.setrlimit(resource.RLIMIT_AS, usual)
        print(a.add(1).to_list())
    """
    for _ in range(10):
        proc = run_python(code, env={"RAYON_NUM_THREADS": "5000"})
        assert (proc.returncode, proc.stdout) == (0, "PanicException\n" * 5 + "[2.0]\n"), proc.stderr

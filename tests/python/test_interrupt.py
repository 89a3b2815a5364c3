"""Ctrl-C and other signals during long operations: the exception a signal handler raises stops
a fit between steps, or run_heavy_logic while the pool works, within half a second whatever the
shape of the work; the worker pool stays usable and the interrupted solver holds the parameters
of a completed step. A handler that runs an operation or forks meanwhile is served at once, and
the forked child finishes the interrupted operation on its own."""
import json
import os
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from conftest import child_env

pytestmark = pytest.mark.skipif(bool(os.environ.get("ZELTO_SANITIZER")),
                                reason="timing of a child process; checked in the plain run")

# Each phase prints "start", runs an operation that would take minutes, and prints how it ended;
# the last line proves that the module still works, on the pool and off it. One element, or a
# few per leaf, of very many repetitions stop as soon as many elements of a few do.
STOPS = """
    import json, signal, numpy as np
    from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop("stopped by SIGUSR1")

    signal.signal(signal.SIGUSR1, stop)
    x = ZeltoMatrix(np.linspace(-1, 1, 256, dtype=np.float32), 64, 4)
    solver = ZeltoSolver(1e-3, 10**12)  # many steps of a few microseconds each
    print("start", flush=True)
    try:
        solver.fit(x, np.ones(64, np.float32))
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
    weights = solver.weights.to_list()
    print(json.dumps([len(weights), all(w != 0.0 and abs(w) < 1e3 for w in weights)]), flush=True)
    for size, iterations, canonical in ((10**6, 10**5, False), (1, 10**11, False),
                                        (64, 10**10, False), (64, 10**10, True)):
        print("start", flush=True)
        try:
            run_heavy_logic(np.ones(size, np.float32), iterations, canonical=canonical)
        except Stop as error:
            print(error, flush=True)
    s = ZeltoSolver(0.5, 1)
    s.fit(ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2), [1.0, 2.0])
    big = np.ones((10**5, 2), np.float32)
    print(json.dumps([s.predict(ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)),
                      sorted(set(s.predict(ZeltoMatrix(big, 10**5, 2)))),
                      run_heavy_logic([1.5, 2.25], 0)]), flush=True)
"""

# While the workers are busy with a long run_heavy_logic, a handler's own operation on the pool
# (a 4M-element add) runs at once; a second signal then stops the long one.
HANDLER_OPERATION = """
    import signal, numpy as np
    from zelto_ml import ZeltoMatrix, run_heavy_logic

    big = ZeltoMatrix(np.ones(1 << 22, np.float32), 1 << 22, 1)

    def add_in_handler(signum, frame):
        print("handler added", set(np.asarray(big.add(1.0)).ravel().tolist()), flush=True)
        print("start", flush=True)

    signal.signal(signal.SIGUSR1, add_in_handler)
    print("start", flush=True)
    try:
        run_heavy_logic(np.ones(64, np.float32), 10**10)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
"""

# A handler forks while the caller waits for the pool (a run_heavy_logic, then a fit of long
# gradient passes); parent and child each finish the operation and report its bits.
FORK = """
    import json, os, signal, numpy as np
    from zelto_ml import ZeltoMatrix, ZeltoSolver, run_heavy_logic

    children, forked = [], []

    def fork(signum, frame):
        pid = os.fork()
        (children if pid else forked).append(pid)

    def report(value):
        print(json.dumps(["child" if forked else "parent", value]), flush=True)
        if forked:
            os._exit(0)
        while children:
            os.waitpid(children.pop(), 0)

    signal.signal(signal.SIGUSR1, fork)
    print("start", flush=True)
    report(run_heavy_logic(np.linspace(0, 1, 64, dtype=np.float32), 10**6))
    x = ZeltoMatrix(np.linspace(-1, 1, 1 << 22, dtype=np.float32), 1 << 14, 256)
    solver = ZeltoSolver(1e-3, 1500)
    print("start", flush=True)
    solver.fit(x, np.ones(1 << 14, np.float32))
    report(np.asarray(solver.weights).view(np.uint32).ravel().tolist())
"""


def line_reader(stream):
    """A function returning the stream's next line, "" at its end or when none comes within the
    timeout."""
    lines = queue.Queue()

    def read():
        for line in stream:
            lines.put(line)
        lines.put("")
    threading.Thread(target=read, daemon=True).start()

    def next_line(timeout):
        try:
            return lines.get(timeout=timeout)
        except queue.Empty:
            return ""
    return next_line


def signalled_lines(code, signals, timeout=60):
    """Runs code in a child interpreter and sends it the next of signals 0.3 s after each line
    "start" it prints. Returns its other lines, each with the seconds since the last signal."""
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=child_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    next_line = line_reader(proc.stdout)
    signals, lines, sent = list(signals), [], time.monotonic()
    try:
        while line := next_line(timeout):
            if line == "start\n" and signals:
                time.sleep(0.3)
                sent = time.monotonic()
                proc.send_signal(signals.pop(0))
            else:
                lines.append((line.rstrip("\n"), time.monotonic() - sent))
    finally:
        proc.kill()
        proc.wait()
    return lines


def test_signals_stop_long_operations_and_leave_the_module_usable():
    lines = signalled_lines(STOPS, [signal.SIGINT] + [signal.SIGUSR1] * 4)
    assert [line for line, _ in lines] == (
        ["KeyboardInterrupt", "[4, true]"] + ["stopped by SIGUSR1"] * 4 +
        [json.dumps([[7.5, 16.0], [5.0], 3.75])])
    stops = [seconds for line, seconds in lines if line.startswith(("Key", "stopped"))]
    assert max(stops) < 0.5, stops


def test_a_handlers_operation_does_not_wait_for_the_interrupted_one():
    lines = signalled_lines(HANDLER_OPERATION, [signal.SIGUSR1, signal.SIGINT], timeout=10)
    assert [line for line, _ in lines] == ["handler added {2.0}", "KeyboardInterrupt"]
    assert lines[0][1] < 2.0 and lines[1][1] < 0.5, lines


def test_a_child_forked_by_a_handler_finishes_the_interrupted_operation():
    lines = [json.loads(line) for line, _ in
             signalled_lines(FORK, [signal.SIGUSR1, signal.SIGUSR1])]
    assert sorted(role for role, _ in lines) == ["child", "child", "parent", "parent"]
    heavy, fit = (dict(lines[:2]), dict(lines[2:]))
    assert heavy["child"] == heavy["parent"] and fit["child"] == fit["parent"]

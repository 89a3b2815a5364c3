"""Ctrl-C and other signals during long operations: the exception a signal handler raises stops
a fit between steps, or run_heavy_logic while the pool works, within half a second; the worker
pool stays usable and the interrupted solver holds the parameters of a completed step."""
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

# Each phase prints "start", runs an operation that would take minutes, and prints how it ended;
# the last line proves that the module still works, on the pool and off it.
CHILD = textwrap.dedent("""
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
    print("start", flush=True)
    try:
        run_heavy_logic(np.ones(10**5, np.float32), 10**6)
    except Stop as error:
        print(error, flush=True)
    s = ZeltoSolver(0.5, 1)
    s.fit(ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2), [1.0, 2.0])
    big = np.ones((10**5, 2), np.float32)
    print(json.dumps([s.predict(ZeltoMatrix([1.0, 2.0, 3.0, 4.0], 2, 2)),
                      sorted(set(s.predict(ZeltoMatrix(big, 10**5, 2)))),
                      run_heavy_logic([1.5, 2.25], 0)]), flush=True)
""")


def line_reader(stream):
    """A function returning the stream's next line, or "" when none comes within the timeout."""
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in stream], daemon=True).start()

    def next_line(timeout):
        try:
            return lines.get(timeout=timeout)
        except queue.Empty:
            return ""
    return next_line


@pytest.mark.skipif(bool(os.environ.get("ZELTO_SANITIZER")),
                    reason="timing of a child process; checked in the plain run")
def test_signals_stop_long_operations_and_leave_the_module_usable():
    proc = subprocess.Popen([sys.executable, "-c", CHILD], env=child_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    next_line = line_reader(proc.stdout)
    try:
        lines = []
        for signum, ending in ((signal.SIGINT, "KeyboardInterrupt"),
                               (signal.SIGUSR1, "stopped by SIGUSR1")):
            assert next_line(60) == "start\n"
            time.sleep(0.3)
            sent = time.monotonic()
            proc.send_signal(signum)
            assert next_line(5) == ending + "\n"
            assert time.monotonic() - sent < 0.5
            if signum == signal.SIGINT:
                lines.append(json.loads(next_line(60)))
        lines.append(json.loads(next_line(60)))
    finally:
        proc.kill()
        proc.wait()
    assert lines == [[4, True], [[7.5, 16.0], [5.0], 3.75]]

"""How soon Ctrl-C stops run_heavy_logic, for shapes from one element of very many repetitions
to many elements of few: a child interpreter starts the call, SIGINT follows 0.5 s later, and
the time until the child reports KeyboardInterrupt is measured, five times per shape.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_interrupts.py
"""
import signal
import statistics
import subprocess
import sys
import time

CHILD = """
import sys, numpy as np, zelto_ml
n, iterations, canonical = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "canonical"
data = np.linspace(0.1, 1, n).astype(np.float32)
print("start", flush=True)
try:
    zelto_ml.run_heavy_logic(data, iterations, canonical=canonical)
except KeyboardInterrupt:
    print("stopped", flush=True)
"""


def stop_latency_ms(n, iterations, grouping):
    """Milliseconds from SIGINT to the child's report, the call having run for 0.5 s."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(n), str(iterations), grouping],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "start\n"
    time.sleep(0.5)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    line = child.stdout.readline()
    latency = (time.monotonic() - sent) * 1e3
    child.wait()
    assert line == "stopped\n", line
    return latency


def main():
    print("| elements x iterations | grouping | median ms | max ms |")
    print("|---|---|---:|---:|")
    for n, iterations in ((1, 10**9), (64, 10**8), (10**4, 10**6), (10**6, 10**4)):
        for grouping in ("pool", "canonical"):
            times = [stop_latency_ms(n, iterations, grouping) for _ in range(5)]
            print(f"| {n} x {iterations} | {grouping} | {statistics.median(times):.1f} | "
                  f"{max(times):.1f} |")


if __name__ == "__main__":
    main()

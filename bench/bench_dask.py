"""Benchmarks a gradient step of zelto_ml_extras.dask.fit on a LocalCluster against the same
gradient descent written with dask.array on that cluster and against the module's local fit.

Run against a built module, under the bench lock:
  flock /tmp/zelto-bench.lock env PYTHONPATH=build/<dir>:src python bench/bench_dask.py
  [--rows N] [--cols M] [--steps K] [--rounds R] [--no-pin]

X (rows x cols float32, by default 10^7 x 32 = 1.28 GB) and y come from a seeded dask.array
random generator in chunks of 80 MB. The local fit runs in this process on the default pool with
the data computed here from the same generator; the cluster has 2 worker processes of one
thread each, each with a pool of one worker (RAYON_NUM_THREADS=1) and bound to a processor of
its own (unless --no-pin), and holds X and y persisted.
In every round, the three take K steps each, one after the other; a step's time is the K steps'
time / K, and each figure keeps its best round (other sessions share the cores).

- zelto_ml_extras.dask: the steps of fit once its nodes are persisted (the setup, cutting the
  rows into nodes and converting them, is timed once and shown apart), each a call of every
  part's actor;
- dask.array: e = X @ w + b - y; g, g_b = dask.compute(X.T @ e, e.sum()); the update in numpy;
- local: ZeltoSolver.fit with K steps minus a fit with 0 steps, over K.

Where a cluster step's time goes: the nodes' own work on the workers (timed on the workers, the
slower one's), the client's combine and update, and the rest, the engine's round trip
(messages, serialisation), also timed alone as a step whose calls return at once. The same
empty step with one part per worker for 2, 10 and 100 workers (the parts laid on the cluster's
two processes in turn) gives the engine's cost as a cluster grows. numpy runs without
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE in every process; its kernel is named as the workers
report it.
"""
import argparse
import json
import os
import pickle
import platform
import resource
import sys
import time

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, get_task_stream, wait

from bench_common import numpy_kernel, reexec_unthrottled
from zelto_ml import ZeltoMatrix, ZeltoSolver
from zelto_ml_extras import dask as zd

ROWS_PER_CHUNK_BYTES = 80 * 2**20
# Cluster sizes whose steps are emulated on this machine.
WORKER_COUNTS = (2, 10, 100)


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=10**7)
    parser.add_argument("--cols", type=int, default=32)
    parser.add_argument("--steps", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-pin", action="store_true",
                        help="leave the worker processes unbound instead of one per processor")
    return parser.parse_args()


def source(rows, cols):
    """X and y as lazy dask arrays from a seeded generator: the same values wherever computed."""
    chunk = max(ROWS_PER_CHUNK_BYTES // (4 * cols), 1)
    rng = da.random.default_rng(20261208)
    x = rng.standard_normal((rows, cols), chunks=(chunk, cols), dtype=np.float32)
    w_true = np.linspace(-1, 1, cols, dtype=np.float32)
    y = x @ w_true + np.float32(0.5) + rng.standard_normal(rows, chunks=chunk, dtype=np.float32)
    return x, y


def time_local(x, y, lr, steps):
    """Per-step ms of the module's own fit: K steps minus 0 steps, over K."""
    def fit(k):
        solver = ZeltoSolver(lr, k, canonical=True)
        start = time.perf_counter()
        solver.fit(x, y)
        return time.perf_counter() - start, solver

    base, _ = fit(0)
    total, solver = fit(steps)
    return (total - base) / steps * 1e3, solver


def time_zelto_dask(parts, shape, depth, lr, steps):
    """Per-step ms of fit's steps on persisted parts."""
    zd._descend(ZeltoSolver(lr, 1, canonical=True), parts, shape, depth)  # warm-up
    solver = ZeltoSolver(lr, steps, canonical=True)
    start = time.perf_counter()
    zd._descend(solver, parts, shape, depth)
    return (time.perf_counter() - start) / steps * 1e3, solver


def time_client(shape, depth, steps):
    """Per-step ms of the client's part of a step: the nodes' sums combined up the tree, the
    update, and set_weights."""
    n, m = shape
    sums = [(np.ones(m, np.float32), np.float32(1.0))] * len(zd.node_ranges(n, depth))
    solver = ZeltoSolver(0.01, 1, canonical=True)
    w, n_f, lr = np.zeros(m, np.float32), np.float32(n), np.float32(0.01)
    start = time.perf_counter()
    for _ in range(steps):
        g, g_b = zd.combine(n, depth, sums)
        w = zd._canonical(w - ((g / n_f) * lr))
        solver.set_weights(w, zd._canonical(g_b - ((g_b / n_f) * lr)))
    return (time.perf_counter() - start) / steps * 1e3


def time_round_trip(client, parts, m, steps):
    """Per-step ms of a step whose calls, sent as fit sends them, return at once: the engine's
    own cost; with the processor time it took in this process (the client, and the scheduler,
    which a LocalCluster runs here) and in the busier worker."""
    run_step = zd._step_runner(parts, nothing)
    w, b = np.zeros(m, np.float32), np.float32(0.0)
    run_step(w, b)
    workers_before = client.run(time.process_time)
    here_before = time.process_time()
    start = time.perf_counter()
    for _ in range(steps):
        run_step(w, b)
    wall = time.perf_counter() - start
    here = time.process_time() - here_before
    workers = max(after - workers_before[address]
                  for address, after in client.run(time.process_time).items())
    return wall / steps * 1e3, here / steps * 1e3, workers / steps * 1e3


def serialisation(m, nodes_per_part):
    """Bytes of one part's call arguments and result as pickled, and the microseconds to pickle
    and unpickle both."""
    arguments = (np.zeros(m, np.float32), np.float32(0.0))
    result = [(np.zeros(m, np.float32), 0.0)] * nodes_per_part
    start = time.perf_counter()
    for _ in range(1000):
        out, back = pickle.dumps(arguments), pickle.dumps(result)
        pickle.loads(out), pickle.loads(back)
    return len(out), len(back), (time.perf_counter() - start) * 1e3


def time_steps_by_workers(client, m, steps, counts):
    """Per-step ms of fit's steps, and the processor ms they take in this process (client and
    scheduler), with one part per worker for each worker count, the parts
    laid on the cluster's processes in turn, with the default depth's nodes of 2 rows each:
    the engine's messages and the client's work of a step on that many workers, but the
    workers' share done by this cluster's processes (the nodes' own work is microseconds)."""
    times = {}
    addresses = zd._worker_addresses(client)
    for count in counts:
        places = [addresses[k % len(addresses)] for k in range(count)]
        depth = zd._default_depth(count)
        rows = 2 << depth
        x = da.ones((rows, m), chunks=(rows, m), dtype=np.float32)
        parts = zd._persist_parts(x, da.ones(rows, chunks=rows), zd.node_ranges(rows, depth),
                                  places)
        wait(client.futures_of(parts))
        zd._descend(ZeltoSolver(0.01, 1, canonical=True), parts, (rows, m), depth)  # warm-up
        solver = ZeltoSolver(0.01, steps, canonical=True)
        here_before = time.process_time()
        start = time.perf_counter()
        zd._descend(solver, parts, (rows, m), depth)
        times[count] = ((time.perf_counter() - start) / steps * 1e3,
                        (time.process_time() - here_before) / steps * 1e3)
    return times


def nothing(part, w, b):
    """A part's call's arguments in, a result of a node's size out, and no work."""
    return [(w, 0.0)]


def time_dask_array(x, y, lr, steps):
    """Per-step ms of the gradient descent written with dask.array."""
    n_f, lr32 = np.float32(x.shape[0]), np.float32(lr)
    w, b = np.zeros(x.shape[1], np.float32), np.float32(0.0)
    start = None
    for step in range(steps + 1):  # the first is a warm-up
        if step == 1:
            start = time.perf_counter()
        e = (x @ w + b) - y
        g, g_b = dask.compute(x.T @ e, e.sum(dtype=np.float32))
        w = w - ((g / n_f) * lr32)
        b = b - ((g_b / n_f) * lr32)
    return (time.perf_counter() - start) / steps * 1e3


def pin_process(cpu):
    """Binds every thread of this process to one processor: two single-threaded processes
    left to the kernel often share one of this VM's two processors, as the module's own pool
    workers did before they slept bound to processors of their own."""
    for thread in os.listdir("/proc/self/task"):
        os.sched_setaffinity(int(thread), {cpu})
    return cpu


def peak_rss_gb():
    """This process's peak resident memory, in GB."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e6


def timed_part_sums(part, w, b):
    """A part's sums, as fit's steps compute them, and the seconds they took on the worker."""
    start = time.perf_counter()
    zd._part_sums(part, w, b)
    return time.perf_counter() - start


def time_node_work(parts, m, steps):
    """Per step, the ms the slower worker spends on its part's sums."""
    run_step = zd._step_runner(parts, timed_part_sums)
    w, b = np.zeros(m, np.float32), np.float32(0.0)
    return sum(max(run_step(w, b)) for _ in range(steps)) / steps * 1e3


def part_copies(stream):
    """Parts copied to another worker to make their actors: none when each actor is made where
    its part is."""
    return sum(part["action"] == "transfer" for record in stream
               if str(record["key"]).startswith("_PartHolder") for part in record["startstops"])


def main():
    reexec_unthrottled()
    args = parse_args()

    lr = 0.01
    x_lazy, y_lazy = source(args.rows, args.cols)
    with dask.config.set(scheduler="threads"):
        x_local = x_lazy.compute()
        y_local = y_lazy.compute()
    matrix = ZeltoMatrix(x_local, *x_local.shape)
    del x_local

    bench_dir = os.path.dirname(os.path.abspath(__file__))
    os.environ["PYTHONPATH"] = os.pathsep.join([bench_dir, os.environ.get("PYTHONPATH", "")])
    results = {"local": [], "zelto_dask": [], "client": [], "round_trip": [], "dask_array": [],
               "node_compute": [], "part_copies": [], "round_trip_cpu_here": [],
               "round_trip_cpu_worker": []}
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            Client(cluster) as client:
        if not args.no_pin:
            cpus = sorted(os.sched_getaffinity(0))
            for k, address in enumerate(zd._worker_addresses(client)):
                client.run(pin_process, cpus[k % len(cpus)], workers=[address])
        x, y = client.persist([x_lazy, y_lazy])
        wait([x, y])
        depth = zd._default_depth(len(zd._places()))
        start = time.perf_counter()
        parts = zd._persist_parts(x, y, zd.node_ranges(args.rows, depth), zd._places())
        wait(client.futures_of(parts))
        setup_s = time.perf_counter() - start
        blas = client.run(numpy_kernel)
        for _ in range(args.rounds):
            local_ms, local_solver = time_local(matrix, y_local, lr, args.steps)
            results["local"].append(local_ms)
            time.sleep(0.3)
            with get_task_stream(client) as stream:
                step_ms, dask_solver = time_zelto_dask(parts, (args.rows, args.cols), depth, lr,
                                                       args.steps)
            results["zelto_dask"].append(step_ms)
            results["node_compute"].append(time_node_work(parts, args.cols, args.steps))
            results["part_copies"].append(part_copies(stream.data))
            results["client"].append(time_client((args.rows, args.cols), depth, args.steps))
            round_trip, here_cpu, worker_cpu = time_round_trip(client, parts, args.cols,
                                                               args.steps)
            results["round_trip"].append(round_trip)
            results["round_trip_cpu_here"].append(here_cpu)
            results["round_trip_cpu_worker"].append(worker_cpu)
            results["dask_array"].append(time_dask_array(x, y, lr, args.steps))
        bytes_out, bytes_back, pickle_us = serialisation(
            args.cols, -(-2**depth // len(zd._worker_addresses(client))))
        by_workers = time_steps_by_workers(client, args.cols, args.steps * 3, WORKER_COUNTS)
        worker_peaks = sorted(client.run(peak_rss_gb).values())
        same = (np.asarray(local_solver.weights).tobytes() == np.asarray(dask_solver.weights).tobytes()
                and np.float32(local_solver.bias) == np.float32(dask_solver.bias))
    best = {name: min(values) for name, values in results.items()}
    report = {
        "shape": [args.rows, args.cols], "steps": args.steps, "rounds": args.rounds,
        "depth": depth, "workers_pinned": not args.no_pin, "setup_s": setup_s, "best_ms": best,
        "all_ms": {name: [round(v, 2) for v in values] for name, values in results.items()},
        "empty_step_ms_by_workers": by_workers,
        "serialisation_per_part": {"bytes_out": bytes_out, "bytes_back": bytes_back,
                                   "pickle_us": pickle_us}, "bits_equal_to_local": bool(same), "numpy_on_workers": sorted(set(blas.values())),
        "peak_rss_gb": {"client": peak_rss_gb(), "workers": worker_peaks},
        "load_average": os.getloadavg(), "machine": platform.processor() or platform.machine(),
        "python": sys.version.split()[0], "dask": dask.__version__,
    }
    print(f"X {args.rows} x {args.cols} float32, {args.steps} steps per round, best of "
          f"{args.rounds} rounds; cluster of 2 single-threaded worker processes"
          f"{'' if args.no_pin else ', each bound to one processor'}, depth {depth} "
          f"({2**depth} nodes), setup (nodes cut and converted) {setup_s:.2f} s")
    print(f"  local fit step            {best['local']:8.2f} ms")
    print(f"  zelto_ml_extras.dask step {best['zelto_dask']:8.2f} ms  "
          f"({best['zelto_dask'] / best['local']:.2f}x local)")
    print(f"    nodes' work (slower worker) {best['node_compute']:6.2f} ms")
    print(f"    client combine + update     {best['client']:6.3f} ms")
    print(f"    engine round trip alone     {best['round_trip']:6.2f} ms (processor time: client "
          f"and scheduler {best['round_trip_cpu_here']:.2f} ms, busier worker "
          f"{best['round_trip_cpu_worker']:.2f} ms)")
    print(f"    serialisation per part      {bytes_out} B out, {bytes_back} B back, "
          f"{pickle_us:.1f} us to pickle and unpickle both")
    print(f"  dask.array step           {best['dask_array']:8.2f} ms  "
          f"({best['dask_array'] / best['zelto_dask']:.2f}x zelto_ml_extras.dask)")
    print("  a step of nodes of 2 rows, one part per worker (wall / processor time of client "
          "and scheduler): " + ", ".join(f"{count} workers {ms:.1f} / {cpu:.1f} ms"
                                         for count, (ms, cpu) in by_workers.items()))
    print(f"  bits equal to the local fit: {same}; numpy on the workers: "
          f"{'; '.join(sorted(set(blas.values())))}")
    print(f"  peak memory: client {peak_rss_gb():.2f} GB, workers "
          f"{', '.join(f'{gb:.2f}' for gb in worker_peaks)} GB; load average at the end "
          f"{', '.join(f'{v:.1f}' for v in os.getloadavg())}")
    print(json.dumps(report))


if __name__ == "__main__":
    main()

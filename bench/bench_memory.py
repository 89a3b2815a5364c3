"""Whether memory goes back to the system: resident size after rounds of building and deleting
big results of random sizes, against the same loop in numpy.

Run against a built module: PYTHONPATH=build/<dir> python bench/bench_memory.py [--rounds 300]

Each round builds a matrix of s elements from bytes(s) and then its add(1.0) or transpose()
(chosen at random), for result sizes 4s drawn uniformly between 0.4 and 80 MB, and deletes
both; numpy's round converts the same bytes to float32 and adds 1.0 or copies the transpose.
Every loop runs in a fresh interpreter with a fixed seed and reports its resident size
(VmRSS) before the first round, its largest value seen after a round, and after the last
round, with nothing alive.
"""
import argparse
import json
import subprocess
import sys
import textwrap

from bench_common import reexec_unthrottled, unthrottled_env

CHILD = textwrap.dedent("""
    import json, random, sys
    kind, rounds = sys.argv[1], int(sys.argv[2])

    def rss_mib():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024

    if kind == "zelto":
        from zelto_ml import ZeltoMatrix
        def one_round(s, add):
            m = ZeltoMatrix(bytes(s), s, 1)
            r = m.add(1.0) if add else m.transpose()
            del m, r
        one_round(1000, True)
    else:
        import numpy as np
        def one_round(s, add):
            m = np.frombuffer(bytes(s), dtype=np.uint8).astype(np.float32).reshape(s, 1)
            r = m + np.float32(1.0) if add else m.T.copy()
            del m, r
        one_round(1000, True)
    rng = random.Random(17)
    start = rss_mib()
    peak = start
    for _ in range(rounds):
        one_round(rng.randint(100_000, 20_000_000), rng.random() < 0.5)
        peak = max(peak, rss_mib())
    print(json.dumps([start, peak, rss_mib()]))
""")


def main():
    reexec_unthrottled()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=300)
    args = parser.parse_args()
    print(f"{args.rounds} rounds of results of 0.4-80 MB; resident size in MiB")
    print(f"{'loop':>6} {'start':>8} {'peak':>8} {'end':>8} {'end - start':>12}")
    for kind in ("zelto", "numpy"):
        out = subprocess.run([sys.executable, "-c", CHILD, kind, str(args.rounds)],
                             env=unthrottled_env(), check=True, capture_output=True,
                             text=True).stdout
        start, peak, end = json.loads(out.strip().splitlines()[-1])
        print(f"{kind:>6} {start:>8.1f} {peak:>8.1f} {end:>8.1f} {end - start:>+12.1f}")


if __name__ == "__main__":
    main()

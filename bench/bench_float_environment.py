"""What holding the kernels' floating-point environment costs a small call: an 8 x 8 matmul and
a 100-element add (both run on the calling thread), with the caller in the default environment
(the register read, and a write only to clear the flags the work raised) and rounding upward
(a write on the way in and out), for each build given, side by side.

Run: python bench/bench_float_environment.py BUILD_DIR [BUILD_DIR ...] [--rounds 7]
(x86-64 with glibc: the caller's rounding is set through libm's fesetround). Each round times
every build in its own child interpreter, in turn, so that drifts of a shared machine fall on
all of them alike; the table gives each build's median over the rounds of its per-call time
(each the median of 15 repeats of 20,000 calls).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import ctypes, json, timeit
    import numpy as np
    import zelto_ml

    libm = ctypes.CDLL("libm.so.6")
    FE_TONEAREST, FE_UPWARD = 0x000, 0x800
    # Inexact data, so that the work raises a flag the call then clears.
    values = np.random.default_rng(0).random(100, np.float32)
    a = zelto_ml.ZeltoMatrix(values[:64], 8, 8)
    m = zelto_ml.ZeltoMatrix(values, 100, 1)
    calls = {"matmul 8x8": lambda: a.matmul(a), "add 100": lambda: m.add(0.1)}
    out = {}
    for rounding, mode in (("nearest", FE_TONEAREST), ("upward", FE_UPWARD)):
        libm.fesetround(mode)
        for name, call in calls.items():
            times = timeit.repeat(call, number=20000, repeat=15)
            out[f"{name}, caller {rounding}"] = sorted(times)[7] / 20000 * 1e9
        libm.fesetround(FE_TONEAREST)
    print(json.dumps(out))
""")


def time_build(build_dir):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(build_dir), RAYON_NUM_THREADS="2")
    out = subprocess.run([sys.executable, "-c", CHILD], env=env, check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    rounds = {build: [] for build in args.builds}
    for _ in range(args.rounds):
        for build in args.builds:
            rounds[build].append(time_build(build))
    cases = list(rounds[args.builds[0]][0])
    print("| call | " + " | ".join(f"`{b}` ns" for b in args.builds) + " |")
    print("|---|" + "---:|" * len(args.builds))
    for case in cases:
        medians = [statistics.median(r[case] for r in rounds[b]) for b in args.builds]
        spreads = [f"{m:.0f} ({min(r[case] for r in rounds[b]):.0f}-"
                   f"{max(r[case] for r in rounds[b]):.0f})"
                   for m, b in zip(medians, args.builds)]
        print(f"| {case} | " + " | ".join(spreads) + " |")


if __name__ == "__main__":
    main()

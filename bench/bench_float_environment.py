"""What holding the kernels' floating-point environment costs a small call: an 8 x 8 matmul and
a 100-element add (both run on the calling thread), with the caller in the default environment
(a register read on the way in, and on the way out a write that clears the flags the work
raised) and rounding upward (a write on the way in and one on the way out), for each build
given, side by side.

Run: python bench/bench_float_environment.py BUILD_DIR [BUILD_DIR ...] [--rounds 301]
(x86-64 with glibc: the caller's rounding is set through libm's fesetround). All builds are
loaded into one interpreter and timed in alternating bursts of 2,000 calls, so that the drifts
of a shared machine fall on all of them alike; the table gives each build's median per-call
time over the rounds, with the 10th and 90th percentiles.
"""
import argparse
import ctypes
import importlib.util
import os
import statistics
import timeit

import numpy as np

FE_TONEAREST, FE_UPWARD = 0x000, 0x800


def load(build_dir):
    """The zelto_ml module of build_dir; each build's module is its own extension object."""
    path = os.path.join(os.path.abspath(build_dir), "zelto_ml.abi3.so")
    spec = importlib.util.spec_from_file_location("zelto_ml", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def calls(module):
    """The timed calls of one build, on inexact data, so that the work raises a flag."""
    values = np.random.default_rng(0).random(100, np.float32)
    a = module.ZeltoMatrix(values[:64], 8, 8)
    m = module.ZeltoMatrix(values, 100, 1)
    return {"matmul 8x8": lambda: a.matmul(a), "add 100": lambda: m.add(0.1)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--rounds", type=int, default=301)
    args = parser.parse_args()
    libm = ctypes.CDLL("libm.so.6")
    builds = {build: calls(load(build)) for build in args.builds}
    print("| call | " + " | ".join(f"`{b}` ns (p10-p90)" for b in args.builds) + " |")
    print("|---|" + "---:|" * len(args.builds))
    for rounding, mode in (("nearest", FE_TONEAREST), ("upward", FE_UPWARD)):
        for name in builds[args.builds[0]]:
            times = {build: [] for build in args.builds}
            libm.fesetround(mode)
            for _ in range(args.rounds):
                for build in args.builds:
                    times[build].append(timeit.timeit(builds[build][name], number=2000) / 2000)
            libm.fesetround(FE_TONEAREST)
            cells = []
            for build in args.builds:
                deciles = statistics.quantiles([t * 1e9 for t in times[build]], n=10)
                cells.append(f"{statistics.median(times[build]) * 1e9:.0f} "
                             f"({deciles[0]:.0f}-{deciles[-1]:.0f})")
            print(f"| {name}, caller {rounding} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()

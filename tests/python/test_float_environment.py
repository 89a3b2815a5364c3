"""The caller's floating-point environment changes no bit: rounding upward, flush-to-zero with
denormals-are-zero, or a trap on invalid operations set on the calling thread (and in force when
the first call builds the pool) leave every result as under the default, on the calling thread
(small calls) and on the workers (large ones), and each call leaves the caller's MXCSR as it was."""
import json
import platform

import pytest
from conftest import run_python

pytestmark = pytest.mark.skipif(
    platform.machine() != "x86_64" or platform.libc_ver()[0] != "glibc",
    reason="sets MXCSR through glibc's fenv_t layout on x86-64")

# glibc's x86-64 fenv_t ends with MXCSR (bytes 28-31); fesetenv loads it whole.
CHILD = """
    import ctypes, json, numpy as np
    from zelto_ml import ZeltoMatrix

    libm = ctypes.CDLL("libm.so.6")

    def mxcsr():
        env = ctypes.create_string_buffer(32)
        libm.fegetenv(env)
        return int.from_bytes(env.raw[28:32], "little")

    def set_mxcsr(value):
        env = ctypes.create_string_buffer(32)
        libm.fegetenv(env)
        ctypes.memmove(ctypes.addressof(env) + 28, value.to_bytes(4, "little"), 4)
        libm.fesetenv(env)

    def matrix(values):
        return ZeltoMatrix(values, len(values), 1)

    # 1 + 2**-30 (rounds to 1), the smallest subnormal times 1 (itself), inf times 0 (invalid):
    # 16 elements run on the calling thread, 1M on the workers.
    inputs = [(n, matrix(np.ones(n, np.float32)), matrix(np.ones(n, np.uint32).view(np.float32)),
               matrix(np.full(n, np.inf, np.float32))) for n in (16, 1 << 20)]

    def results():
        out, restored = [], True
        for n, ones, tiny, inf in inputs:
            before = mxcsr()
            for result in (ones.add(2**-30), tiny.mul(1.0), inf.mul(0.0)):
                out.append(sorted(set(np.asarray(result).view(np.uint32).ravel().tolist())))
                restored = restored and mxcsr() == before
        return out, restored

    default = mxcsr()
    report = {}
    for name, value in (("upward", default | 0x4000), ("default", default),
                        ("ftz_daz", default | 0x8040), ("trap_invalid", default & ~0x80)):
        set_mxcsr(value)
        report[name] = results()
        set_mxcsr(default)
    print(json.dumps(report))
"""


def test_the_callers_environment_changes_no_bit_and_is_restored():
    child = run_python(CHILD, env={"RAYON_NUM_THREADS": "2"})
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout)
    nearest = [[0x3F800000], [0x1], report["default"][0][2]] * 2
    assert report == {name: [nearest, True] for name in report}

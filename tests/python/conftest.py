"""Shared helpers: running a snippet in a fresh interpreter (the pool is sized once per process)
that loads the same build as this one, a sequence whose claimed length is not its real one, and a
type whose name cannot be read."""
import json
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

import zelto_ml

# Property tests run fewer examples under the sanitizers, where every call is several times slower.
settings.register_profile("sanitizer", max_examples=25, deadline=None)
settings.load_profile(os.environ.get("ZELTO_HYPOTHESIS_PROFILE", "default"))

# A sanitizer stage must test the sanitizer build, not whatever zelto_ml the path reaches first.
if os.environ.get("ZELTO_SANITIZER") == "address":
    with open(zelto_ml.__file__, "rb") as module_file:
        if b"__asan_init" not in module_file.read():
            raise pytest.UsageError(f"ZELTO_SANITIZER=address, but {zelto_ml.__file__} is not "
                                    "an AddressSanitizer build")


# Files whose tests run the numerical kernels: scripts/test runs them (-m kernels) once more per
# kernel variant the machine supports, forced with ZELTO_ISA.
KERNEL_TEST_FILES = {"test_differential.py", "test_matrix_ops.py", "test_solver.py",
                     "test_heavy.py"}


def pytest_configure(config):
    config.addinivalue_line("markers", "kernels: runs the numerical kernels")


def pytest_collection_modifyitems(items):
    for item in items:
        if os.path.basename(str(item.fspath)) in KERNEL_TEST_FILES:
            item.add_marker(pytest.mark.kernels)


def child_env(env=None):
    """This process's environment without the pool variables, plus env, with an absolute
    PYTHONPATH led by the directory zelto_ml was imported from: a child interpreter started in any
    working directory loads the same build."""
    full_env = dict(os.environ)
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        full_env.pop(name, None)
    paths = [os.path.dirname(os.path.abspath(zelto_ml.__file__))]
    paths += [os.path.abspath(p) for p in full_env.get("PYTHONPATH", "").split(os.pathsep) if p]
    full_env["PYTHONPATH"] = os.pathsep.join(paths)
    full_env.update(env or {})
    return full_env


def run_python(code, env=None, timeout=120):
    """Runs code in a new interpreter and returns the CompletedProcess (text mode)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env(env),
                          capture_output=True, text=True, timeout=timeout)


def run_with_pool(threads, code):
    """Runs code with a pool of `threads` workers; the snippet prints one JSON value as its last line."""
    proc = run_python(code, env={"RAYON_NUM_THREADS": str(threads)})
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture
def pool_run():
    return run_with_pool


def kernel_variants():
    """The kernel variants of this build, as the refusal of a setting that names none lists
    them: "... not a kernel variant (baseline, avx2 or avx512)"."""
    proc = run_python("import zelto_ml", env={"ZELTO_ISA": "?"})
    listed = proc.stderr.splitlines()[-1].rpartition("not a kernel variant (")[2].rstrip(")")
    return listed.replace(" or ", ", ").split(", ")


class HugeLen:
    """A sequence that claims `length` items and yields two (0.0 and 1.0): a length hint that
    must neither limit the reading nor be trusted for the allocation."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return float(index)


class UnnamedMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Unnamed(metaclass=UnnamedMeta):
    """An object whose type's __qualname__ raises when read."""

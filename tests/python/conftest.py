"""Shared helpers: running a snippet in a fresh interpreter (the pool is sized once per process),
and a sequence whose claimed length is not its real one."""
import json
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

# Property tests run fewer examples under the sanitizers, where every call is several times slower.
settings.register_profile("sanitizer", max_examples=25, deadline=None)
settings.load_profile(os.environ.get("ZELTO_HYPOTHESIS_PROFILE", "default"))


def run_python(code, env=None, timeout=120):
    """Runs code in a new interpreter and returns the CompletedProcess (text mode)."""
    full_env = dict(os.environ)
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        full_env.pop(name, None)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=timeout)


def run_with_pool(threads, code):
    """Runs code with a pool of `threads` workers; the snippet prints one JSON value as its last line."""
    proc = run_python(code, env={"RAYON_NUM_THREADS": str(threads)})
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture
def pool_run():
    return run_with_pool


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

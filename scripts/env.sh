# Sourced by the scripts: installs what a fresh machine lacks, idempotently. Debian packages: a C++
# compiler, CMake, Ninja, GoogleTest, Python's venv and headers; Python packages go into .venv.

# The clang the tests build with besides GCC: Debian 12's default clang (14) lacks
# std::source_location with its libstdc++, 16 is its newest.
ZELTO_CLANG_VERSION=16

# The Python packages scripts/demo installs into .venv: what the README's examples import.
ZELTO_DEMO_PACKAGES=(numpy scikit-build-core scikit-learn pandas)

# Installs the Debian packages of the list that are missing, with apt-get, which needs root; as
# another user, names them and stops, so that they can be installed first.
zelto_need_apt() {
  local missing=()
  for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages; install them as root, then run this command again:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "==> apt-get install ${missing[*]}"
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
}

# A python3 that can make .venv (venv with pip) and build the module (CPython's C headers), which
# Debian ships as separate packages; a python3 that has both (pyenv's, a container's) is used as
# it is.
zelto_need_python() {
  python3 -c 'import ensurepip, os, sysconfig, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    2>/dev/null || zelto_need_apt python3 python3-venv python3-dev
}

zelto_venv() {
  if [ ! -x .venv/bin/python ]; then
    echo "==> creating .venv"
    python3 -m venv .venv
  fi
  .venv/bin/python -m pip install -q --disable-pip-version-check "$@"
}

# Builds the one abi3 wheel of this checkout into build/wheel and installs it into .venv.
zelto_install_module() {
  echo "==> building the zelto_ml wheel and installing it"
  rm -rf build/wheel
  .venv/bin/python -m pip wheel -q --disable-pip-version-check --no-deps --wheel-dir build/wheel .
  zelto_install_wheel .venv/bin/python
  echo "installed $(basename build/wheel/zelto_ml-*.whl)"
}

# Installs the wheel built by zelto_install_module into the environment of the given python.
zelto_install_wheel() {
  "$1" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
    build/wheel/zelto_ml-*.whl
}

# Prints "<major.minor> <path>" for every CPython 3.8 or later found under pyenv or as
# python3.N on PATH, one line each, sorted by version.
zelto_pythons() {
  local candidates=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3)
  local minor
  for minor in $(seq 8 20); do
    command -v "python3.$minor" >/dev/null && candidates+=("$(command -v "python3.$minor")")
  done
  local python
  for python in "${candidates[@]}"; do
    [ -x "$python" ] || continue
    "$python" -c 'import sys; sys.exit(sys.version_info < (3, 8))' 2>/dev/null || continue
    echo "$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])') $python"
  done | sort -t. -k1,1n -k2,2n -u
}

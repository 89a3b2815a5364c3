# Sourced by scripts/test and scripts/demo: installs what a fresh machine lacks, idempotently.
# Debian packages: a C++ compiler, CMake, Ninja and GoogleTest; Python packages go into .venv.

# The clang the tests build with besides GCC: Debian 12's default clang (14) lacks
# std::source_location with its libstdc++, 16 is its newest.
ZELTO_CLANG_VERSION=16

zelto_need_apt() {
  local missing=()
  for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "==> apt-get install ${missing[*]}"
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
  fi
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

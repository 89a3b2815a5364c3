# Sourced by scripts/test and scripts/demo: installs what a fresh machine lacks, idempotently.
# Debian packages: a C++ compiler, CMake, Ninja and GoogleTest; Python packages go into .venv.

zelto_need_apt() {
  local missing=()
  for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "==> apt-get install ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

zelto_venv() {
  if [ ! -x .venv/bin/python ]; then
    echo "==> creating .venv"
    python3 -m venv .venv
  fi
  .venv/bin/python -m pip install -q --disable-pip-version-check "$@"
}

# Builds and installs the extension module into .venv from this checkout.
zelto_install_module() {
  echo "==> building and installing zelto_ml"
  .venv/bin/python -m pip install -q --disable-pip-version-check --force-reinstall --no-deps .
}

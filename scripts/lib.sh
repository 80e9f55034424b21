# Shared by the scripts: finding the interpreters and preparing environments.

# Prints the path of a working python$1 (e.g. 3.12): the one on PATH if it
# runs, else the pyenv installation of that version.
find_python() {
  local version=$1 candidate
  if "python$version" -c '' >/dev/null 2>&1; then
    command -v "python$version"
    return
  fi
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return
    fi
  done
  echo "python$version not found; install CPython $version" >&2
  return 1
}

# Creates (or reuses) the virtual environment .venv-$1 and installs the
# project into it with the given extras; prints the environment's python.
prepare_venv() {
  local version=$1 extras=${2:-} venv=".venv-$1" python
  python=$(find_python "$version")
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv" >&2
  "$venv/bin/python" -m pip install -q ".${extras:+[$extras]}" >&2
  echo "$venv/bin/python"
}

# Installs Debian packages that are missing (the scripts run as root here).
ensure_debian_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2
}

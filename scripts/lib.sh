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

# Prints a digest of the source tree as it is on disk: the index, the changes
# not staged yet and the untracked files, or nothing outside a git checkout.
source_digest() {
  git rev-parse --is-inside-work-tree >/dev/null 2>&1 || return 0
  {
    git ls-files -s
    git diff --binary
    git ls-files -z --others --exclude-standard | xargs -0 -r sha256sum
  } | sha256sum | cut -d' ' -f1
}

# The environment the functions below work on: .venv-VERSION (the demo's and
# the benchmarks'), or the directory given with --venv DIR before the version.
# Sets venv, version and consumed, the number of arguments it read.
venv_arguments() {
  if [ "${1:-}" = --venv ]; then
    venv=$2
    version=$3
    consumed=3
  else
    venv=.venv-$1
    version=$1
    consumed=1
  fi
}

# prepare_venv [--venv DIR] VERSION [EXTRAS [WHEEL]]: creates (or reuses) the
# virtual environment and installs the project into it with the given extras,
# from the wheel when given, else from the source tree; prints the
# environment's python. The install is skipped when the environment holds the
# same extras of the same wheel or source tree already.
prepare_venv() {
  local venv version consumed extras wheel python digest stamp saved
  venv_arguments "$@"
  shift "$consumed"
  extras=${1:-} wheel=${2:-}
  python=$(find_python "$version")
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv" >&2
  if [ -n "$wheel" ]; then
    digest=$(sha256sum "$wheel" | cut -d' ' -f1)
  else
    digest=$(source_digest)
  fi
  stamp="$venv/morfex-installed-from"
  saved=$(cat "$stamp" 2>/dev/null || true)
  # An install with extras serves a call without them as well.
  if [ -z "$digest" ] || { [ "$saved" != "$digest [$extras]" ] && { [ -n "$extras" ] || [ "${saved%% *}" != "$digest" ]; }; }; then
    rm -f "$stamp"
    if [ -n "$wheel" ]; then
      # pip keeps an installed morfex of the same version in place of a wheel.
      "$venv/bin/python" -m pip uninstall -q -y morfex >&2
      "$venv/bin/python" -m pip install -q "$wheel${extras:+[$extras]}" >&2
    else
      "$venv/bin/python" -m pip install -q ".${extras:+[$extras]}" >&2
    fi
    [ -z "$digest" ] || echo "$digest [$extras]" >"$stamp"
  fi
  echo "$venv/bin/python"
}

# install_dependencies [--venv DIR] VERSION [EXTRAS]: creates the virtual
# environment if missing and installs what the project and the given extras
# depend on, but not the project itself: a later prepare_venv then installs
# morfex alone.
install_dependencies() {
  local venv version consumed extras python requirements
  venv_arguments "$@"
  shift "$consumed"
  extras=${1:-}
  python=$(find_python "$version")
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv" >&2
  mapfile -t requirements < <("$venv/bin/python" - "$extras" <<'PYTHON'
import sys, tomllib
with open("pyproject.toml", "rb") as file:
    project = tomllib.load(file)["project"]
print(*project["dependencies"], sep="\n")
for extra in filter(None, sys.argv[1].split(",")):
    print(*project["optional-dependencies"][extra], sep="\n")
PYTHON
  )
  "$venv/bin/python" -m pip install -q "${requirements[@]}" >&2
}

# Installs Debian packages that are missing (the scripts run as root here).
ensure_debian_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  # Another apt or dpkg run (an unattended upgrade, another script) may hold
  # the locks for a while: wait for it rather than fail at once.
  apt-get -o DPkg::Lock::Timeout=600 update -q >&2
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q "${missing[@]}" >&2
}

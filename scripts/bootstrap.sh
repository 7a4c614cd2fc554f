#!/usr/bin/env bash
# Prepares .venv with Python 3.12, the build and test tools, and an installed
# zor_core built from the current sources. Safe to run again: it only redoes
# what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=.venv

find_python312() {
  local candidate
  if candidate=$(command -v python3.12 2>/dev/null) && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    echo "$candidate"; return 0
  fi
  if command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
      if [ -x "$candidate" ]; then echo "$candidate"; return 0; fi
    done
  fi
  for candidate in "$HOME"/.pyenv/versions/3.12.*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do
    if [ -x "$candidate" ]; then echo "$candidate"; return 0; fi
  done
  return 1
}

# A venv left by another Python version is rebuilt from scratch.
if [ -x "$VENV/bin/python" ] && ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  echo "bootstrap: $VENV is not a Python 3.12 environment; recreating it"
  rm -rf "$VENV"
fi
if [ ! -x "$VENV/bin/python" ]; then
  if ! PY=$(find_python312); then
    echo "error: Python 3.12 was not found (neither python3.12 on PATH nor a pyenv 3.12.x)." >&2
    echo "       Install it, e.g. 'pyenv install 3.12', and run this again." >&2
    exit 1
  fi
  echo "bootstrap: creating $VENV with $PY"
  "$PY" -m venv "$VENV"
fi

stamp="$VENV/.deps-installed"
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  "$VENV/bin/python" -m pip install -q --upgrade pip
  "$VENV/bin/python" -m pip install -q -r requirements-dev.txt
  touch "$stamp"
fi

# Installs Debian packages when `present` is missing and we are root; returns
# false when they are missing and cannot be installed.
apt_install_unless() {
  local present=$1
  shift
  [ -e "$present" ] && return 0
  [ "${ZOR_SKIP_APT:-0}" != 1 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1 || return 1
  echo "bootstrap: installing $*"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# The fuzz targets need clang and its libFuzzer runtime (Debian's default clang).
if [ "${1:-}" = fuzz ]; then
  if ! apt_install_unless /usr/bin/clang++ clang; then
    echo "error: clang is missing and cannot be installed here" >&2
    exit 1
  fi
  clang_major=$(clang++ -dumpversion | cut -d. -f1)
  if ! apt_install_unless "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" \
    "libclang-rt-$clang_major-dev"; then
    echo "error: libFuzzer (libclang-rt-$clang_major-dev) is missing and cannot be installed here" >&2
    exit 1
  fi
  exit 0
fi

# GoogleTest for the C++ unit tests of the core comes from Debian.
if ! apt_install_unless /usr/include/gtest/gtest.h libgtest-dev; then
  echo "bootstrap: libgtest-dev is missing and cannot be installed here; C++ unit tests will be skipped" >&2
fi

# Eigen (header-only) for the Levenberg-Marquardt fits of zor._native comes
# from Debian too; without it the build stops with one line naming it.
if ! apt_install_unless /usr/include/eigen3/Eigen/Core libeigen3-dev; then
  echo "bootstrap: libeigen3-dev is missing and cannot be installed here; the build needs it" >&2
fi

# Rebuild and reinstall zor_core and the zor package when any source changed
# since the last install.
install_stamp="$VENV/.zor-core-installed"
if [ ! -f "$install_stamp" ] || [ -n "$(find src python CMakeLists.txt pyproject.toml -newer "$install_stamp" -print -quit)" ]; then
  echo "bootstrap: building zor_core and zor"
  "$VENV/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
    -Cbuild-dir=build/wheel .
  touch "$install_stamp"
fi

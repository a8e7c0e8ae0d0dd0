# Sourced by the tools that look for CPythons: the supported minor versions,
# and where the machine keeps each (python3.X on PATH, then pyenv's).
SUPPORTED_PYTHONS=(3.9 3.10 3.11 3.12 3.13)

# Prints a CPython of minor version $1 that has its C headers; fails if none.
find_python() {
    local candidates=() python version
    if command -v "python$1" >/dev/null 2>&1; then
        candidates+=("$(command -v "python$1")")
    fi
    if command -v pyenv >/dev/null 2>&1; then
        while read -r version; do
            candidates+=("$(pyenv prefix "$version" 2>/dev/null)/bin/python$1")
        done < <(pyenv versions --bare 2>/dev/null | grep -E "^${1//./\\.}(\.[0-9]+)?$" | sort -V -r)
    fi
    for python in "${candidates[@]}"; do
        if "$python" -c 'import os, sys, sysconfig
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' \
            2>/dev/null; then
            echo "$python"
            return 0
        fi
    done
    return 1
}

# Makes (once) and prints the venv of minor version $1 under build/pythons/,
# with the build tools and the newest NumPy that pip finds for it.
python_venv() {
    local root venv python
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    venv="$root/build/pythons/$1"
    if [ ! -x "$venv/bin/python" ]; then
        python="$(find_python "$1")" || return 1
        "$python" -m venv "$venv" || return 1
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.18" \
        ninja "numpy>=2.0" >&2 || return 1
    echo "$venv"
}
